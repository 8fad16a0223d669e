#include "media/VideoSender.h"

#include "base/HelperLog.h"
#include "media/HelperEncoderFactory.h"
#include "media/SoundPackets.h"
#include "media/rtc/RtcDataChannel.h"
#include "media/rtc/RtcLogger.h"
#include "media/rtc/RtcPeerConnection.h"
#include "media/rtc/RtcRtpSender.h"
#include "media/rtc/RtcRtpTransceiver.h"
#include "media/rtc/RtcSdp.h"
#include "media/rtc/RtcVideoSource.h"

#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// The shared factory of the encoders. Made once, never released.
std::shared_ptr<RtcEncoderFactory> sharedFactory()
{
    static const std::shared_ptr<RtcEncoderFactory> factory = std::make_shared<HelperEncoderFactory>();
    return factory;
}

} // namespace

std::shared_ptr<RtcEncoderFactory> VideoSender::encoderFactory()
{
    return sharedFactory();
}

VideoSender::VideoSender(int maxFramerate, int maxBitrateBps, Options options)
    : m_maxFramerate(maxFramerate)
    , m_maxBitrateBps(maxBitrateBps)
    , m_options(options)
    , m_mainThread(std::make_unique<MainThreadQueue>())
{
    sharedFactory();
    RtcLogger::install(options.rtcLog);
}

VideoSender::~VideoSender()
{
    m_mainThread.reset();
    if (m_peerConnection) {
        m_peerConnection->close();
    }
}

std::optional<std::vector<RtcCodecInfo>>
VideoSender::codecPreferences(const std::vector<RtcCodecInfo>& capabilities)
{
    std::vector<RtcCodecInfo> h264;
    std::vector<RtcCodecInfo> others;
    for (const RtcCodecInfo& codec : capabilities) {
        (codec.name.compare(u"H264"_s, Qt::CaseInsensitive) == 0 ? h264 : others).push_back(codec);
    }
    if (h264.empty()) {
        QStringList names;
        for (const RtcCodecInfo& codec : capabilities) {
            names.append(u'"' + codec.name + u'"');
        }
        HelperLog::write(u"this WebRTC build offers no H.264: ["_s + names.join(u", "_s) + u']');
        return std::nullopt;
    }
    h264.insert(h264.end(), others.begin(), others.end());
    return h264;
}

bool VideoSender::acceptsAudio(bool channelOpen, std::uint64_t bufferedAmount)
{
    return channelOpen && bufferedAmount < audioBackPressure;
}

void VideoSender::start()
{
    const std::shared_ptr<RtcEncoderFactory> factory = sharedFactory();
    MainThreadQueue::Poster relay = m_mainThread->poster();
    RtcPeerConnection::Delegate delegate;
    delegate.didGenerateIceCandidate = [relay, this](const RtcIceCandidate& candidate) mutable {
        relay.post([this, candidate] {
            if (sendSignal) {
                sendSignal(candidate);
            }
        });
    };
    delegate.didChangeIceConnectionState = [relay, this](RtcIceConnectionState state) mutable {
        relay.post([this, state] { iceStateChanged(state); });
    };
    delegate.didReportError = [](const QString& message) {
        HelperLog::write(u"webrtc: "_s + message.left(300));
    };
    m_peerConnection = RtcPeerConnection::create(factory, delegate);
    if (!m_peerConnection) {
        if (onState) {
            onState(SenderState::failed(u"Could not create the connection."_s));
        }
        return;
    }
    std::shared_ptr<PixelBuffer> early;
    std::chrono::nanoseconds earlyTime{0};
    {
        std::lock_guard lock(m_mediaMutex);
        m_videoSource = m_peerConnection->videoSource();
        early = std::exchange(m_earlyPicture, nullptr);
        earlyTime = m_earlyTime;
    }
    // A screen that does not change made its one picture before there was a connection to send
    // it on: the connection starts with it, so a new viewer sees something.
    if (early) {
        m_videoSource->capturer(early, earlyTime);
    }

    if (auto transceiver = m_peerConnection->addTransceiver(u"ovu-video0"_s, {u"ovu"_s})) {
        if (auto preferences = codecPreferences(factory->supportedCodecs())) {
            transceiver->setCodecPreferences(*preferences);
        }
        if (auto sender = transceiver->sender()) {
            m_videoSender = sender;
            RtcRtpParameters parameters = sender->parameters();
            parameters.degradationPreference = RtcDegradationPreference::maintainResolution;
            for (RtcRtpEncodingParameters& encoding : parameters.encodings) {
                encoding.minBitrateBps = minimumBitrateBps;
                encoding.maxBitrateBps = m_maxBitrateBps;
                encoding.maxFramerate = m_maxFramerate;
            }
            sender->setParameters(parameters);
        }
    }

    m_controlChannel =
        m_peerConnection->createDataChannel(u"ovu-input"_s, RtcDataChannelInit{true, std::nullopt});
    if (m_controlChannel) {
        m_controlChannel->setMessageHandler([relay, this](const QByteArray& bytes, bool) mutable {
            relay.post([this, bytes] {
                if (onControlMessage) {
                    onControlMessage(bytes);
                }
            });
        });
    }
    {
        auto channel = m_peerConnection->createDataChannel(u"ovu-audio"_s, RtcDataChannelInit{false, 0});
        std::lock_guard lock(m_mediaMutex);
        m_audioChannel = std::move(channel);
    }

    m_peerConnection->createOfferAndSetLocal(
        [relay, this](const QString& sdp) mutable { relay.post([this, sdp] { offerSent(sdp); }); });

    m_statsTimer = new QTimer(this);
    m_statsTimer->setInterval(statsInterval);
    connect(m_statsTimer, &QTimer::timeout, this, &VideoSender::readStats);
    m_statsTimer->start();
}

void VideoSender::offerSent(const QString& sdp)
{
    if (!m_peerConnection) {
        return;
    }
    HelperLog::write(u"offer lists "_s + RtcSdp::rtpmapNames(sdp).mid(0, 4).join(u", "_s));
    if (sendSignal) {
        sendSignal(RtcSessionDescription{RtcSessionDescription::Type::offer, sdp});
    }
    if (onState) {
        onState(SenderState::waiting());
    }
}

void VideoSender::iceStateChanged(RtcIceConnectionState state)
{
    if (!m_peerConnection) {
        return;
    }
    switch (state) {
    case RtcIceConnectionState::connected:
    case RtcIceConnectionState::completed:
        if (!m_reportedConnected) {
            m_reportedConnected = true;
            if (onState) {
                onState(SenderState::connected());
            }
        }
        break;
    case RtcIceConnectionState::failed:
        m_reportedConnected = false;
        if (onState) {
            onState(SenderState::failed(u"The two ends could not reach each other."_s));
        }
        break;
    case RtcIceConnectionState::disconnected:
    case RtcIceConnectionState::closed:
        m_reportedConnected = false;
        if (onState) {
            onState(SenderState::waiting());
        }
        break;
    default:
        break;
    }
}

void VideoSender::receive(const Signal& signal)
{
    if (!m_peerConnection) {
        return;
    }
    if (const auto* answer = std::get_if<RtcSessionDescription>(&signal)) {
        if (answer->type != RtcSessionDescription::Type::answer) {
            return;
        }
        m_peerConnection->setRemoteDescription(*answer, [](const Result<>& result) {
            if (!result.ok()) {
                HelperLog::write(u"answer refused: "_s + result.error());
            }
        });
    } else {
        m_peerConnection->addIceCandidate(std::get<RtcIceCandidate>(signal));
    }
}

void VideoSender::sendFrame(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time)
{
    std::shared_ptr<RtcVideoSource> source;
    {
        std::lock_guard lock(m_mediaMutex);
        source = m_videoSource;
    }
    if (source && buffer) {
        source->capturer(buffer, time);
    } else if (buffer) {
        std::lock_guard lock(m_mediaMutex);
        if (!m_videoSource && !m_stopped) {
            m_earlyPicture = buffer;
            m_earlyTime = time;
        }
    }
}

void VideoSender::sendAudio(const QByteArray& sound)
{
    std::shared_ptr<RtcDataChannel> channel;
    {
        std::lock_guard lock(m_mediaMutex);
        channel = m_audioChannel;
    }
    if (!channel ||
        !acceptsAudio(channel->readyState() == RtcDataChannel::ReadyState::open, channel->bufferedAmount())) {
        return;
    }
    if (m_options.logsAudio) {
        int peak = m_audioPeak.load(std::memory_order_relaxed);
        for (qsizetype i = 0; i + 1 < sound.size(); i += 2) {
            const int magnitude =
                std::abs(static_cast<int>(qFromLittleEndian<qint16>(sound.constData() + i)));
            if (magnitude > peak) {
                peak = std::min(magnitude, 32767);
            }
        }
        m_audioPeak.store(peak, std::memory_order_relaxed);
    }
    for (qsizetype offset = 0; offset < sound.size(); offset += SoundPackets::maximumPcmBytes) {
        const qsizetype length = std::min<qsizetype>(SoundPackets::maximumPcmBytes, sound.size() - offset);
        m_audioPackets.fetch_add(1, std::memory_order_relaxed);
        channel->sendData(SoundPackets::packet(m_audioSequence.fetch_add(1, std::memory_order_relaxed),
                                               QByteArrayView(sound).sliced(offset, length)),
                          true);
    }
}

void VideoSender::setMaxBitrate(int bitsPerSecond)
{
    m_maxBitrateBps = bitsPerSecond;
    auto sender = m_videoSender.lock();
    if (!sender) {
        return;
    }
    RtcRtpParameters parameters = sender->parameters();
    for (RtcRtpEncodingParameters& encoding : parameters.encodings) {
        encoding.maxBitrateBps = bitsPerSecond;
    }
    sender->setParameters(parameters);
}

SenderStats VideoSender::statsFromReport(const RtcStatsReport& report, double& bytesSent)
{
    SenderStats stats;
    bytesSent = 0;
    for (auto it = report.statistics.begin(); it != report.statistics.end(); ++it) {
        const QVariantMap& values = it->values;
        if (it->type != u"outbound-rtp"_s || values.value(u"kind"_s).toString() != u"video"_s ||
            values.value(u"kind"_s).typeId() != QMetaType::QString) {
            continue;
        }
        auto number = [&](const QString& name) {
            const QVariant value = values.value(name);
            bool ok = false;
            const double result = value.toDouble(&ok);
            return ok && value.typeId() != QMetaType::QString ? result : 0.0;
        };
        stats.framesPerSecond = number(u"framesPerSecond"_s);
        stats.width = static_cast<int>(number(u"frameWidth"_s));
        stats.height = static_cast<int>(number(u"frameHeight"_s));
        const QVariant implementation = values.value(u"encoderImplementation"_s);
        stats.encoder = implementation.typeId() == QMetaType::QString ? implementation.toString() : QString();
        const QVariant codecId = values.value(u"codecId"_s);
        if (codecId.typeId() == QMetaType::QString) {
            const auto codec = report.statistics.find(codecId.toString());
            if (codec != report.statistics.end() &&
                codec->values.value(u"mimeType"_s).typeId() == QMetaType::QString) {
                stats.encoder = codec->values.value(u"mimeType"_s).toString().remove(u"video/"_s) +
                                u" by "_s + stats.encoder;
            }
        }
        bytesSent = number(u"bytesSent"_s);
    }
    return stats;
}

void VideoSender::readStats()
{
    if (!m_peerConnection) {
        return;
    }
    if (m_options.logsAudio) {
        HelperLog::write(u"sound: "_s + QString::number(m_audioPackets.exchange(0)) + u" packets, peak "_s +
                         QString::number(m_audioPeak.exchange(0)));
    }
    MainThreadQueue::Poster relay = m_mainThread->poster();
    m_peerConnection->statistics([relay, this](const RtcStatsReport& report) mutable {
        double bytes = 0;
        const SenderStats stats = statsFromReport(report, bytes);
        relay.post([this, stats, bytes] { statsArrived(stats, bytes); });
    });
}

void VideoSender::statsArrived(const SenderStats& received, double bytes)
{
    SenderStats stats = received;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - m_lastStatsTime).count();
    if (elapsed > 0 && m_lastBytes <= bytes) {
        stats.megabitsPerSecond = (bytes - m_lastBytes) * 8 / 1'000'000 / elapsed;
    }
    m_lastBytes = bytes;
    m_lastStatsTime = now;
    if (onStats) {
        onStats(stats);
    }
}

void VideoSender::stop()
{
    if (m_statsTimer) {
        m_statsTimer->stop();
        m_statsTimer->deleteLater();
        m_statsTimer = nullptr;
    }
    if (m_controlChannel) {
        m_controlChannel->setMessageHandler(nullptr);
        m_controlChannel->close();
        m_controlChannel = nullptr;
    }
    std::shared_ptr<RtcDataChannel> audio;
    {
        std::lock_guard lock(m_mediaMutex);
        audio = std::move(m_audioChannel);
        m_audioChannel = nullptr;
        m_videoSource = nullptr;
        m_earlyPicture = nullptr;
        m_stopped = true;
    }
    if (audio) {
        audio->close();
    }
    if (m_peerConnection) {
        m_peerConnection->close();
        m_peerConnection = nullptr;
    }
    if (onState) {
        onState(SenderState::idle());
    }
}
