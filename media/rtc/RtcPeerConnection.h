#pragma once

#include "media/PixelBuffer.h"
#include "media/rtc/RtcDataChannel.h"
#include "media/rtc/RtcEncoderFactory.h"
#include "media/rtc/RtcTypes.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class RtcRtpSender;
class RtcRtpTransceiver;
class RtcVideoSource;

// One WebRTC peer connection on GStreamer's webrtcbin, as the video sender uses it: a send-only
// video transceiver, data channels, offer and answer, candidates, the ICE state and statistics.
//
// The encoding branch (appsrc → encoder → RTP payloader → webrtcbin) is built once the answer is
// known, for the codec the answer chose: webrtcbin fixes a stream's payload type and caps at the
// first caps it sees, so the payload type, the profile and the caps follow the answer. The caps
// that reach webrtcbin are those of the offered entry for that payload type.
class RtcPeerConnection {
public:
    // Called on library threads.
    struct Delegate {
        std::function<void(const RtcIceCandidate& candidate)> didGenerateIceCandidate;
        std::function<void(RtcIceConnectionState state)> didChangeIceConnectionState;
    };

    // Nothing when GStreamer lacks webrtcbin or the pipeline cannot be built.
    static std::unique_ptr<RtcPeerConnection> create(std::shared_ptr<RtcEncoderFactory> encoders,
                                                     Delegate delegate);
    ~RtcPeerConnection();
    RtcPeerConnection(const RtcPeerConnection&) = delete;
    RtcPeerConnection& operator=(const RtcPeerConnection&) = delete;

    // The one video transceiver, send-only; nothing when it cannot be added.
    std::shared_ptr<RtcRtpTransceiver> addTransceiver(const QString& trackId, const QStringList& streamIds);
    std::shared_ptr<RtcDataChannel> createDataChannel(const QString& label, const RtcDataChannelInit& init);
    // Where pictures go; they are dropped until the answer has set up the encoder.
    std::shared_ptr<RtcVideoSource> videoSource() const;

    // Completions are called on library threads.
    void createOffer(std::function<void(std::optional<RtcSessionDescription> offer)> completion);
    // An offer, set as the local description; the completion gets its text once setting it is done
    // (whatever the outcome), and nothing happens when no offer could be made.
    void createOfferAndSetLocal(std::function<void(const QString& sdp)> completion);
    void setLocalDescription(const RtcSessionDescription& description,
                             std::function<void(std::optional<QString> error)> completion);
    void setRemoteDescription(const RtcSessionDescription& description,
                              std::function<void(std::optional<QString> error)> completion);
    void addIceCandidate(const RtcIceCandidate& candidate);
    void statistics(std::function<void(const RtcStatsReport& report)> completion);
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

// The sending side of the video transceiver: its parameters, read and written back whole.
class RtcRtpSender {
public:
    explicit RtcRtpSender(std::weak_ptr<RtcPeerConnection::Core> core);
    RtcRtpParameters parameters() const;
    bool setParameters(const RtcRtpParameters& parameters);

private:
    std::weak_ptr<RtcPeerConnection::Core> m_core;
};

class RtcRtpTransceiver {
public:
    explicit RtcRtpTransceiver(std::weak_ptr<RtcPeerConnection::Core> core);
    // The codecs to offer, in order of preference.
    bool setCodecPreferences(const std::vector<RtcCodecInfo>& codecs);
    std::shared_ptr<RtcRtpSender> sender() const { return m_sender; }

private:
    std::weak_ptr<RtcPeerConnection::Core> m_core;
    std::shared_ptr<RtcRtpSender> m_sender;
};

// Takes captured pictures into the encoding branch without copying them: each buffer stays held
// until the encoder is done with it. When the encoder falls behind, pictures are dropped.
class RtcVideoSource {
public:
    explicit RtcVideoSource(std::weak_ptr<RtcPeerConnection::Core> core);
    // Called on the capture thread; time on the monotonic clock.
    void capturer(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time);

private:
    std::weak_ptr<RtcPeerConnection::Core> m_core;
};
