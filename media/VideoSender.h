#pragma once

#include "base/MainThreadQueue.h"
#include "media/PixelBuffer.h"
#include "media/SenderState.h"
#include "media/rtc/RtcTypes.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

class RtcDataChannel;
class RtcEncoderFactory;
class RtcPeerConnection;
class RtcRtpSender;
class RtcVideoSource;

// What the launch options change in a sender.
struct VideoSenderOptions {
    // "-inputlog": the sound report every 2 seconds.
    bool logsAudio = false;
    // "-rtclog": the WebRTC stack's own log from info severity on.
    bool rtcLog = false;
};

// The computer's end of one WebRTC connection to the phone: a send-only H.264 track fed with the
// captured pictures, the "ovu-input" channel for the phone's control messages and the "ovu-audio"
// channel for the sound packets, the offer, answer and candidates exchanged through the link, and
// reports of its state and figures. Control runs on the main thread; pictures and sound arrive on
// the capture's threads; every callback is called on the main thread.
class VideoSender : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds statsInterval{2};
    static constexpr int minimumBitrateBps = 1'000'000;
    static constexpr std::uint64_t audioBackPressure = 64'000;

    using Options = VideoSenderOptions;
    VideoSender(int maxFramerate, int maxBitrateBps, Options options = {});
    ~VideoSender() override;

    // The encoder factory every connection uses (a HelperEncoderFactory).
    static std::shared_ptr<RtcEncoderFactory> encoderFactory();

    // The signalling with the phone: this end's offer and candidates out, the phone's answer and
    // candidates in.
    using Signal = std::variant<RtcSessionDescription, RtcIceCandidate>;
    std::function<void(const Signal& signal)> sendSignal;
    std::function<void(const SenderState& state)> onState;
    std::function<void(const SenderStats& stats)> onStats;
    std::function<void(const QByteArray& bytes)> onControlMessage;

    void start();
    void stop();
    // The phone's answer, or one of its candidates.
    void receive(const Signal& signal);
    // One captured picture; called on the capture thread.
    void sendFrame(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time);
    // One converted sound buffer (16-bit stereo); called on the sound thread.
    void sendAudio(const QByteArray& sound);
    void setMaxBitrate(int bitsPerSecond);

    int maxFramerate() const { return m_maxFramerate; }
    int maxBitrateBps() const { return m_maxBitrateBps; }
    std::uint32_t audioSequence() const { return m_audioSequence.load(); }
    bool hasPeerConnection() const { return m_peerConnection != nullptr; }
    RtcPeerConnection* peerConnection() const { return m_peerConnection.get(); }

    // The figures of a statistics report, and the outbound video's "bytesSent".
    static SenderStats statsFromReport(const RtcStatsReport& report, double& bytesSent);
    // H.264 entries (the name compared ignoring case) first, the rest after, each in its order;
    // nothing, and the log line, when there is no H.264.
    static std::optional<std::vector<RtcCodecInfo>>
    codecPreferences(const std::vector<RtcCodecInfo>& capabilities);
    // Whether a sound buffer may go out on a channel in this state with this much waiting.
    static bool acceptsAudio(bool channelOpen, std::uint64_t bufferedAmount);
    // What the statistics timer runs every 2 seconds.
    void readStats();

    // For tests: the sequence number the next packet gets.
    void setAudioSequenceForTesting(std::uint32_t next) { m_audioSequence = next; }

private:
    void offerSent(const QString& sdp);
    void iceStateChanged(RtcIceConnectionState state);
    void statsArrived(const SenderStats& stats, double bytes);
    void applyParameters();

    const int m_maxFramerate;
    int m_maxBitrateBps;
    const Options m_options;
    std::unique_ptr<RtcPeerConnection> m_peerConnection;
    std::shared_ptr<RtcDataChannel> m_controlChannel;
    std::weak_ptr<RtcRtpSender> m_videoSender;
    bool m_reportedConnected = false;
    QTimer* m_statsTimer = nullptr;
    double m_lastBytes = 0;
    std::chrono::steady_clock::time_point m_lastStatsTime = std::chrono::steady_clock::now();

    // Read by the capture threads while stop() clears them on the main thread.
    std::mutex m_mediaMutex;
    std::shared_ptr<RtcVideoSource> m_videoSource;
    std::shared_ptr<RtcDataChannel> m_audioChannel;
    // The latest picture that came before start(), for the connection to begin with.
    std::shared_ptr<PixelBuffer> m_earlyPicture;
    std::chrono::nanoseconds m_earlyTime{0};
    bool m_stopped = false;
    // The sound counters: written on the sound thread, reported and reset on the main thread.
    std::atomic<std::uint32_t> m_audioSequence{0};
    std::atomic<std::int64_t> m_audioPackets{0};
    std::atomic<int> m_audioPeak{0};

    // Carries library callbacks to the main thread while this sender exists.
    std::unique_ptr<MainThreadQueue> m_mainThread;
};
