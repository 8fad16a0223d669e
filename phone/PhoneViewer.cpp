#include "phone/PhoneViewer.h"

#include "base/MainThreadQueue.h"
#include "link/LinkMessages.h"
#include "media/SoundPackets.h"
#include "media/rtc/RtcDataChannel.h"
#include "media/rtc/RtcPeerConnection.h"
#include "media/rtc/RtcSdp.h"

#include <algorithm>
#include <array>
#include <mutex>

using namespace Qt::StringLiterals;

struct PhoneViewer::State : std::enable_shared_from_this<State> {
    QString preferred;
    bool keepImages = false;
    QList<QPoint> probes;
    std::unique_ptr<RtcPeerConnection> connection;

    mutable std::mutex mutex;
    bool alive = true;
    std::function<void(const QJsonObject&)> sendSignal;
    std::function<void(const Picture&)> onPicture;
    std::function<void(const QByteArray&)> onAudioPacket;
    std::function<void(const QString&)> onIceState;
    Figures figures;
    QString answer;
    QString offerSdp;
    std::shared_ptr<RtcDataChannel> control;
    std::shared_ptr<RtcDataChannel> audio;
    std::optional<std::uint32_t> lastSequence;

    // Runs work on the main thread while the viewer exists.
    std::unique_ptr<MainThreadQueue> mainThread = std::make_unique<MainThreadQueue>();
    void post(std::function<void(State&)> work)
    {
        std::weak_ptr<State> weak = weak_from_this();
        mainThread->post([weak, work = std::move(work)] {
            if (auto self = weak.lock(); self && self->alive) {
                work(*self);
            }
        });
    }

    // The phone's candidates name their media line by its index alone.
    void candidate(const RtcIceCandidate& candidate)
    {
        const QJsonObject message =
            LinkMessages::Ice{candidate.sdp, candidate.sdpMLineIndex, std::nullopt}.json();
        post([message](State& s) {
            if (s.sendSignal) {
                s.sendSignal(message);
            }
        });
    }

    void iceState(RtcIceConnectionState state)
    {
        static constexpr std::array names{"new",    "checking",     "connected", "completed",
                                          "failed", "disconnected", "closed"};
        const QString name = QString::fromLatin1(names[std::clamp(int(state), 0, 6)]);
        post([name](State& s) {
            if (s.onIceState) {
                s.onIceState(name);
            }
        });
    }

    void dataChannel(const std::shared_ptr<RtcDataChannel>& channel)
    {
        {
            std::lock_guard lock(mutex);
            figures.channels.append({channel->label(), channel->ordered(), channel->maxRetransmits()});
        }
        if (channel->label() == u"ovu-audio"_s) {
            channel->setMessageHandler([weak = weak_from_this()](const QByteArray& packet, bool) {
                if (auto s = weak.lock()) {
                    s->audioPacket(packet);
                }
            });
            std::lock_guard lock(mutex);
            audio = channel;
        } else if (channel->label() == u"ovu-input"_s) {
            std::lock_guard lock(mutex);
            control = channel;
        }
    }

    void audioPacket(const QByteArray& packet)
    {
        const std::optional<SoundPackets::Packet> read = SoundPackets::read(packet);
        if (!read) {
            return;
        }
        const std::uint32_t sequence = read->sequence;
        {
            std::lock_guard lock(mutex);
            ++figures.audioPackets;
            figures.audioBytes += read->pcm.size();
            if (lastSequence && sequence != *lastSequence + 1) {
                ++figures.audioSequenceBreaks;
            }
            lastSequence = sequence;
        }
        post([packet](State& s) {
            if (s.onAudioPacket) {
                s.onAudioPacket(packet);
            }
        });
    }

    // Called on a streaming thread, with the decoder's bytes.
    void decoded(const RtcDecodedPicture& decoded)
    {
        Picture picture;
        picture.decoded = decoded.decoded;
        picture.width = decoded.width;
        picture.height = decoded.height;
        if (decoded.rgb) {
            const QImage view(decoded.rgb, decoded.width, decoded.height, decoded.stride,
                              QImage::Format_RGB888);
            picture.centre = view.pixel(picture.width / 2, picture.height / 2);
            for (const QPoint& point : probes) {
                picture.probes.append(view.valid(point) ? view.pixel(point) : 0);
            }
            if (keepImages) {
                picture.image = view.copy();
            }
        }
        {
            std::lock_guard lock(mutex);
            ++figures.framesDecoded;
            figures.width = picture.width;
            figures.height = picture.height;
        }
        post([picture](State& s) {
            if (s.onPicture) {
                s.onPicture(picture);
            }
        });
    }

    // Until it has decoded a picture, the phone asks for a key frame now and then, as a phone's
    // WebRTC stack does when the stream's first key frame did not reach it.
    void requestKeyFrameUntilPicture()
    {
        {
            std::lock_guard lock(mutex);
            if (figures.framesDecoded > 0) {
                return;
            }
        }
        if (connection) {
            connection->requestKeyFrame();
        }
    }

    void offer(const QString& text)
    {
        {
            std::lock_guard lock(mutex);
            offerSdp = text;
        }
        if (!connection) {
            return;
        }
        connection->answer({RtcSessionDescription::Type::offer, text}, preferred,
                           [weak = weak_from_this()](const Result<RtcSessionDescription>& made) {
                               auto self = weak.lock();
                               if (!self || !made.ok()) {
                                   return;
                               }
                               const QString sdp = made.value().sdp;
                               {
                                   std::lock_guard lock(self->mutex);
                                   self->answer = sdp;
                                   self->figures.codec = RtcSdp::answeredCodec(sdp, self->offerSdp);
                               }
                               self->post([sdp](State& s) {
                                   if (s.sendSignal) {
                                       s.sendSignal(LinkMessages::Answer{sdp}.json());
                                   }
                               });
                           });
    }
};

PhoneViewer::PhoneViewer(QString preferredProfileLevelId, bool keepImages)
    : m_state(std::make_shared<State>())
{
    m_state->preferred = std::move(preferredProfileLevelId);
    m_state->keepImages = keepImages;
    std::weak_ptr<State> weak = m_state;
    RtcPeerConnection::Delegate delegate;
    delegate.didGenerateIceCandidate = [weak](const RtcIceCandidate& candidate) {
        if (auto state = weak.lock()) {
            state->candidate(candidate);
        }
    };
    delegate.didChangeIceConnectionState = [weak](RtcIceConnectionState ice) {
        if (auto state = weak.lock()) {
            state->iceState(ice);
        }
    };
    delegate.didOpenDataChannel = [weak](const std::shared_ptr<RtcDataChannel>& channel) {
        if (auto state = weak.lock()) {
            state->dataChannel(channel);
        }
    };
    delegate.didDecodePicture = [weak](const RtcDecodedPicture& picture) {
        if (auto state = weak.lock()) {
            state->decoded(picture);
        }
    };
    m_state->connection = RtcPeerConnection::create(nullptr, std::move(delegate));
    m_keyFrameRequests.setInterval(keyFrameRequestInterval);
    QObject::connect(&m_keyFrameRequests, &QTimer::timeout, [weak] {
        if (auto self = weak.lock()) {
            self->requestKeyFrameUntilPicture();
        }
    });
    m_keyFrameRequests.start();
}

void PhoneViewer::askForKeyFrames(bool ask)
{
    if (ask) {
        m_keyFrameRequests.start();
    } else {
        m_keyFrameRequests.stop();
    }
}

PhoneViewer::~PhoneViewer()
{
    std::shared_ptr<RtcDataChannel> control;
    std::shared_ptr<RtcDataChannel> audio;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->alive = false;
        control = std::move(m_state->control);
        audio = std::move(m_state->audio);
    }
    // Released outside the lock: their message handlers take it.
    control.reset();
    audio.reset();
    if (m_state->connection) {
        m_state->connection->close();
    }
}

void PhoneViewer::setProbes(const QList<QPoint>& points)
{
    m_state->probes = points;
}

void PhoneViewer::receive(const QJsonObject& message)
{
    m_state->sendSignal = sendSignal;
    m_state->onPicture = onPicture;
    m_state->onAudioPacket = onAudioPacket;
    m_state->onIceState = onIceState;
    if (const auto offer = LinkMessages::Offer::from(message)) {
        m_state->offer(offer->sdp);
    } else if (const auto ice = LinkMessages::Ice::from(message);
               ice && !ice->candidate.isEmpty() && m_state->connection) {
        m_state->connection->addIceCandidate({ice->candidate, ice->index, ice->mid});
    }
}

bool PhoneViewer::sendControl(const QByteArray& message)
{
    std::shared_ptr<RtcDataChannel> control;
    {
        std::lock_guard lock(m_state->mutex);
        control = m_state->control;
    }
    return control && control->readyState() == RtcDataChannel::ReadyState::open &&
           control->sendData(message, false);
}

bool PhoneViewer::hasControlChannel() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->control && m_state->control->readyState() == RtcDataChannel::ReadyState::open;
}

PhoneViewer::Figures PhoneViewer::figures() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->figures;
}

QString PhoneViewer::answer() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->answer;
}

std::int64_t PhoneViewer::videoBytesReceived() const
{
    if (!m_state->connection) {
        return 0;
    }
    std::int64_t bytes = 0;
    const RtcStatsReport report = m_state->connection->statisticsNow();
    for (const RtcStatsReport::Entry& entry : report.statistics) {
        if (entry.type == u"inbound-rtp"_s && entry.values.contains(u"bytesReceived"_s)) {
            bytes += static_cast<std::int64_t>(entry.values.value(u"bytesReceived"_s).toDouble());
        }
    }
    return bytes;
}
