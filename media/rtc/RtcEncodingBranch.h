#pragma once

#include "media/PixelBuffer.h"
#include "media/rtc/RtcEncoderFactory.h"
#include "media/rtc/RtcStillRepeater.h"
#include "media/rtc/RtcTypes.h"

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct RtcEncoderEntry;
typedef struct _GstWebRTCRTPTransceiver GstWebRTCRTPTransceiver;

// The sending side of a peer connection's video: webrtcbin's request pad and its send-only
// transceiver, the codecs offered, the sender's parameters, and the encoding branch (appsrc →
// encoder → caps filter → RTP payloader → capssetter → webrtcbin), built once the answer is known
// for the codec it chose: webrtcbin fixes a stream's payload type and caps at the first caps it
// sees, so the payload type, the profile and the caps follow the answer. Thread-safe.
class RtcEncodingBranch {
public:
    RtcEncodingBranch(std::shared_ptr<RtcEncoderFactory> encoders, RtcStillRepeater::Timer later);
    RtcEncodingBranch(const RtcEncodingBranch&) = delete;
    RtcEncodingBranch& operator=(const RtcEncodingBranch&) = delete;

    // Requests webrtcbin's sink pad, which makes its transceiver, and makes that send-only.
    bool attach(GstElement* pipeline, GstElement* webrtc);
    // The codecs to offer, in order of preference, numbered from payload type 96.
    bool setCodecPreferences(const std::vector<RtcCodecInfo>& codecs);
    RtcRtpParameters parameters() const;
    // The new parameters; the running encoder takes the new bitrate.
    void setParameters(const RtcRtpParameters& parameters);

    // Builds the branch for the codec of the answer; on the main thread.
    void build(const QString& answer);
    // Called on the capture thread; time on the monotonic clock. Pictures are dropped until the
    // branch exists, and when they come faster than the frame-rate cap.
    void push(const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time);
    // The encoder makes a key frame (a still screen's picture comes again for it).
    void requestKeyFrame();
    // The whole connection is up.
    void connected();

    // Figures webrtcbin does not report, taken from the branch, added to its outbound entries.
    void addFigures(RtcStatsReport& report);
    std::optional<RtcEncoderSpec> spec() const;
    // The running encoder's target bitrate in bits per second.
    std::optional<int> bitrate() const;

    // Stops pushing and forgets the elements; returns the references it owned, for the caller to
    // release once the pipeline has stopped and no lock is held.
    std::vector<gpointer> close();

    // The RTP caps of one offered entry.
    static GstCaps* entryCaps(int payloadType, const RtcCodecInfo& codec);

private:
    static GstPadProbeReturn onKeyFrameEvent(GstPad* pad, GstPadProbeInfo* info, gpointer data);
    void pushBuffer(GstElement* source, const std::shared_ptr<PixelBuffer>& picture,
                    std::chrono::nanoseconds pts);

    const std::shared_ptr<RtcEncoderFactory> m_encoders;
    RtcStillRepeater m_repeater;
    std::atomic<std::uint64_t> m_encodedFrames{0};

    mutable std::mutex m_mutex;
    bool m_closed = false;
    GstElement* m_pipeline = nullptr;
    GstPad* m_sinkPad = nullptr;                      // a reference of ours
    GstWebRTCRTPTransceiver* m_transceiver = nullptr; // a reference of ours
    std::map<int, RtcCodecInfo> m_preferences;        // by payload type
    RtcRtpParameters m_parameters{std::nullopt, {RtcRtpEncodingParameters{}}};
    // The branch, once built.
    GstElement* m_appsrc = nullptr;
    GstElement* m_encoder = nullptr;
    const RtcEncoderEntry* m_entry = nullptr;
    std::optional<RtcEncoderSpec> m_spec;
    int m_capsWidth = 0;
    int m_capsHeight = 0;
    std::uint64_t m_countedFrames = 0;
    std::chrono::steady_clock::time_point m_countedAt = std::chrono::steady_clock::now();
    double m_framesPerSecond = 0;
};
