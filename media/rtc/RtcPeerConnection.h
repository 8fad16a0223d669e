#pragma once

#include "base/Result.h"
#include "media/rtc/RtcDataChannel.h"
#include "media/rtc/RtcEncoderFactory.h"
#include "media/rtc/RtcTypes.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class RtcRtpTransceiver;
class RtcVideoSource;

// One WebRTC peer connection on GStreamer's webrtcbin, for either end. The helper's end offers:
// a send-only video transceiver fed through its video source, data channels it opens, the offer
// as the local description and the answer as the remote one. The phone's end answers: the offer
// comes in, the answer goes out, the video it receives is decoded into pictures, and the data
// channels the other end opened are handed over. Both exchange candidates and read statistics.
class RtcPeerConnection {
public:
    // Called on library threads unless said otherwise.
    struct Delegate {
        std::function<void(const RtcIceCandidate& candidate)> didGenerateIceCandidate;
        std::function<void(RtcIceConnectionState state)> didChangeIceConnectionState;
        // A data channel the other end opened.
        std::function<void(const std::shared_ptr<RtcDataChannel>& channel)> didOpenDataChannel;
        // Each picture of the video received; the video is decoded only when this is set.
        std::function<void(const RtcDecodedPicture& picture)> didDecodePicture;
        // An error message of the pipeline; on the main thread.
        std::function<void(const QString& message)> didReportError;
    };

    // Nothing when GStreamer lacks webrtcbin or the pipeline cannot be built. The encoders serve
    // the video this end sends; an end that only receives needs none.
    static std::unique_ptr<RtcPeerConnection> create(std::shared_ptr<RtcEncoderFactory> encoders,
                                                     Delegate delegate);
    ~RtcPeerConnection();
    RtcPeerConnection(const RtcPeerConnection&) = delete;
    RtcPeerConnection& operator=(const RtcPeerConnection&) = delete;

    // The one video transceiver, send-only; nothing when it cannot be added. The offer names the
    // track and its first stream.
    std::shared_ptr<RtcRtpTransceiver> addTransceiver(const QString& trackId, const QStringList& streamIds);
    std::shared_ptr<RtcDataChannel> createDataChannel(const QString& label, const RtcDataChannelInit& init);
    // Where pictures to send go; they are dropped until the answer has set up the encoder.
    std::shared_ptr<RtcVideoSource> videoSource() const;

    // Completions are called on library threads.
    void createOffer(std::function<void(const Result<RtcSessionDescription>& offer)> completion);
    // An offer, set as the local description; the completion gets its text once setting it is done
    // (whatever the outcome), and nothing happens when no offer could be made.
    void createOfferAndSetLocal(std::function<void(const QString& sdp)> completion);
    // Sets the offer as the remote description and answers it (whatever setting it gave, as long
    // as it could be read); the answer becomes the local description. With a profile-level-id the
    // answer takes the offer's H.264 entry of that profile alone (every codec when the offer has
    // no such entry). Not called when the connection is gone meanwhile.
    void answer(const RtcSessionDescription& offer, const QString& onlyProfileLevelId,
                std::function<void(const Result<RtcSessionDescription>& answer)> completion);
    void setLocalDescription(const RtcSessionDescription& description,
                             std::function<void(const Result<>& result)> completion);
    void setRemoteDescription(const RtcSessionDescription& description,
                              std::function<void(const Result<>& result)> completion);
    void addIceCandidate(const RtcIceCandidate& candidate);
    // A key frame: made by this end's encoder when it sends video, asked of the other end when it
    // receives video.
    void requestKeyFrame();
    void statistics(std::function<void(const RtcStatsReport& report)> completion);
    // The report, waited for; never on a library thread.
    RtcStatsReport statisticsNow() const;
    void close();

    // The codec the encoding branch was built for, once the answer came.
    std::optional<RtcEncoderSpec> negotiatedEncoder() const;
    // The running encoder's target bitrate in bits per second, once the branch exists.
    std::optional<int> encoderBitrate() const;

    struct Core;

private:
    explicit RtcPeerConnection(std::shared_ptr<Core> core);
    std::shared_ptr<Core> m_core;
    // The connection owns its transceiver (and so its sender); callers hold them weakly.
    std::shared_ptr<RtcRtpTransceiver> m_transceiver;
};
