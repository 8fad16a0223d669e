#pragma once

#include "base/Result.h"
#include "media/rtc/RtcTypes.h"

#include <gst/gst.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The offer and answer exchanged through webrtcbin: descriptions set and made (the offer naming
// the sent track, the answerer's answer limited to one H.264 entry), the other end's candidates,
// and the media ids of the local description, which tell the section a local candidate belongs
// to. Thread-safe; completions are called on library threads.
class RtcNegotiation : public std::enable_shared_from_this<RtcNegotiation> {
public:
    // Holds a reference to webrtcbin.
    explicit RtcNegotiation(GstElement* webrtc);
    ~RtcNegotiation();
    RtcNegotiation(const RtcNegotiation&) = delete;
    RtcNegotiation& operator=(const RtcNegotiation&) = delete;

    // "STREAM TRACK" of the sent track, named in the offer.
    void setTrackName(const QString& msid);
    void createOffer(std::function<void(const Result<RtcSessionDescription>& offer)> completion);
    void createOfferAndSetLocal(std::function<void(const QString& sdp)> completion);
    void answer(const RtcSessionDescription& offer, const QString& onlyProfileLevelId,
                std::function<void(const Result<RtcSessionDescription>& answer)> completion);
    void setLocal(const RtcSessionDescription& description,
                  std::function<void(const Result<>& result)> completion);
    void setRemote(const RtcSessionDescription& description,
                   std::function<void(const Result<>& result)> completion);
    void addIceCandidate(const RtcIceCandidate& candidate);
    // A candidate webrtcbin found for this media line, with the line's media id.
    RtcIceCandidate localCandidate(unsigned index, const char* text) const;
    // Nothing more is set or added.
    void close();

private:
    void setMediaIds(const QString& sdp);
    void makeAnswer(std::optional<int> keepPayload, const QString& profileLevelId,
                    std::function<void(const Result<RtcSessionDescription>&)> completion);
    void setLocalNow(const RtcSessionDescription& description);
    void setDescription(bool local, const RtcSessionDescription& description,
                        std::function<void(const Result<>&)> completion);

    GstElement* const m_webrtc;
    std::atomic<bool> m_closed = false;
    mutable std::mutex m_mutex;
    std::vector<QString> m_mids; // of the local description, by media-line index
    QString m_msid;
};
