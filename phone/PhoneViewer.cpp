#include "phone/PhoneViewer.h"

#include "base/MainThreadQueue.h"
#include "link/LinkMessages.h"
#include "media/SoundPackets.h"
#include "media/rtc/RtcDataChannel.h"

#include <QCoreApplication>
#include <QJsonValue>
#include <QRegularExpression>
#include <QtEndian>

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <mutex>

using namespace Qt::StringLiterals;

struct PhoneViewer::State : std::enable_shared_from_this<State> {
    QString preferred;
    bool keepImages = false;
    QList<QPoint> probes;
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    guint busWatch = 0;
    GstElement* video = nullptr; // the decoding bin, once the video arrived (a reference of ours)

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

    static gboolean onBus(GstBus*, GstMessage* message, gpointer data)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_LATENCY) {
            gst_bin_recalculate_latency(GST_BIN(static_cast<State*>(data)->pipeline));
        }
        return TRUE;
    }

    static void onIceCandidate(GstElement*, guint index, gchar* candidate, gpointer data)
    {
        auto* self = static_cast<std::weak_ptr<State>*>(data);
        if (auto state = self->lock()) {
            const QJsonObject message =
                LinkMessages::Ice{QString::fromUtf8(candidate), static_cast<int>(index), std::nullopt}.json();
            state->post([message](State& s) {
                if (s.sendSignal) {
                    s.sendSignal(message);
                }
            });
        }
    }

    static void onIceNotify(GstElement* webrtc, GParamSpec*, gpointer data)
    {
        auto* self = static_cast<std::weak_ptr<State>*>(data);
        GstWebRTCICEConnectionState ice = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "ice-connection-state", &ice, nullptr);
        static const char* names[] = {"new",    "checking",     "connected", "completed",
                                      "failed", "disconnected", "closed"};
        const QString name = QString::fromLatin1(names[std::clamp(int(ice), 0, 6)]);
        if (auto state = self->lock()) {
            state->post([name](State& s) {
                if (s.onIceState) {
                    s.onIceState(name);
                }
            });
        }
    }

    static void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data)
    {
        auto* self = static_cast<std::weak_ptr<State>*>(data);
        auto state = self->lock();
        if (!state) {
            return;
        }
        auto wrapped = std::make_shared<RtcDataChannel>(channel);
        std::weak_ptr<State> weak = state;
        {
            std::lock_guard lock(state->mutex);
            state->figures.channels.append({wrapped->label(), wrapped->ordered(), wrapped->maxRetransmits()});
        }
        if (wrapped->label() == u"ovu-audio"_s) {
            wrapped->setMessageHandler([weak](const QByteArray& packet, bool) {
                if (auto s = weak.lock()) {
                    s->audioPacket(packet);
                }
            });
            std::lock_guard lock(state->mutex);
            state->audio = wrapped;
        } else if (wrapped->label() == u"ovu-input"_s) {
            std::lock_guard lock(state->mutex);
            state->control = wrapped;
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

    // Until it has decoded a picture, the phone asks for a key frame now and then (the receiving
    // RTP session turns the request into a picture-loss indication), as a phone's WebRTC stack
    // does when the stream's first key frame did not reach it.
    void requestKeyFrameUntilPicture()
    {
        GstElement* decoder = nullptr;
        {
            std::lock_guard lock(mutex);
            if (!video || figures.framesDecoded > 0) {
                return;
            }
            decoder = GST_ELEMENT(gst_object_ref(video));
        }
        if (GstPad* input = gst_element_get_static_pad(decoder, "sink")) {
            gst_pad_send_event(input,
                               gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
            gst_object_unref(input);
        }
        gst_object_unref(decoder);
    }

    static GstFlowReturn onSample(GstAppSink* sink, gpointer data)
    {
        auto* self = static_cast<std::weak_ptr<State>*>(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        auto state = self->lock();
        if (!sample || !state) {
            if (sample) {
                gst_sample_unref(sample);
            }
            return GST_FLOW_OK;
        }
        Picture picture;
        picture.decoded = std::chrono::steady_clock::now();
        GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
        gst_structure_get_int(structure, "width", &picture.width);
        gst_structure_get_int(structure, "height", &picture.height);
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const int stride = ((picture.width * 3) + 3) & ~3;
            const QImage view(map.data, picture.width, picture.height, stride, QImage::Format_RGB888);
            picture.centre = view.pixel(picture.width / 2, picture.height / 2);
            for (const QPoint& point : state->probes) {
                picture.probes.append(view.valid(point) ? view.pixel(point) : 0);
            }
            if (state->keepImages) {
                picture.image = view.copy();
            }
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        {
            std::lock_guard lock(state->mutex);
            ++state->figures.framesDecoded;
            state->figures.width = picture.width;
            state->figures.height = picture.height;
        }
        state->post([picture](State& s) {
            if (s.onPicture) {
                s.onPicture(picture);
            }
        });
        return GST_FLOW_OK;
    }

    static void onPadAdded(GstElement*, GstPad* pad, gpointer data)
    {
        auto* self = static_cast<std::weak_ptr<State>*>(data);
        auto state = self->lock();
        if (!state || GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
            return;
        }
        GstCaps* caps = gst_pad_get_current_caps(pad);
        if (!caps) {
            caps = gst_pad_query_caps(pad, nullptr);
        }
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        const QString encoding = QString::fromUtf8(gst_structure_get_string(structure, "encoding-name"));
        gst_caps_unref(caps);
        const bool vp8 = encoding.compare(u"VP8"_s, Qt::CaseInsensitive) == 0;
        const QString description =
            vp8 ? u"rtpvp8depay ! vp8dec"_s : u"rtph264depay ! h264parse ! avdec_h264"_s;
        GError* error = nullptr;
        GstElement* decode = gst_parse_bin_from_description(
            (description + u" ! videoconvert ! video/x-raw,format=RGB ! appsink name=pictures sync=false"_s)
                .toUtf8()
                .constData(),
            TRUE, &error);
        if (!decode) {
            g_clear_error(&error);
            return;
        }
        GstElement* sink = gst_bin_get_by_name(GST_BIN(decode), "pictures");
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = &State::onSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new std::weak_ptr<State>(state),
                                   [](gpointer d) { delete static_cast<std::weak_ptr<State>*>(d); });
        gst_object_unref(sink);
        gst_bin_add(GST_BIN(state->pipeline), decode);
        gst_element_sync_state_with_parent(decode);
        GstPad* input = gst_element_get_static_pad(decode, "sink");
        gst_pad_link(pad, input);
        gst_object_unref(input);
        std::lock_guard lock(state->mutex);
        if (!state->video) {
            state->video = GST_ELEMENT(gst_object_ref(decode));
        }
    }

    // The payload type of the offer's H.264 entry with this profile-level-id.
    static std::optional<int> payloadFor(const GstSDPMessage* sdp, const QString& profile)
    {
        for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
            const GstSDPMedia* media = gst_sdp_message_get_media(sdp, m);
            for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
                const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
                if (g_strcmp0(attribute->key, "fmtp") == 0 &&
                    QString::fromUtf8(attribute->value).contains(u"profile-level-id="_s + profile)) {
                    return QString::fromUtf8(attribute->value).section(u' ', 0, 0).toInt();
                }
            }
        }
        return std::nullopt;
    }

    // "H264 640c34": the answer's video codec, with the profile the offer gave its payload type.
    static QString codecOf(const GstSDPMessage* answer, const QString& offerText)
    {
        for (guint m = 0; m < gst_sdp_message_medias_len(answer); ++m) {
            const GstSDPMedia* media = gst_sdp_message_get_media(answer, m);
            if (g_strcmp0(gst_sdp_media_get_media(media), "video") != 0 ||
                gst_sdp_media_formats_len(media) == 0) {
                continue;
            }
            const QString payload = QString::fromUtf8(gst_sdp_media_get_format(media, 0));
            QString name;
            for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
                const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
                const QString value = QString::fromUtf8(attribute->value ? attribute->value : "");
                if (g_strcmp0(attribute->key, "rtpmap") == 0 && value.section(u' ', 0, 0) == payload) {
                    name = value.section(u' ', 1).section(u'/', 0, 0);
                }
            }
            const auto profile =
                QRegularExpression(u"a=fmtp:"_s + payload + u" [^\\r]*profile-level-id=([0-9a-fA-F]{6})"_s)
                    .match(offerText);
            return profile.hasMatch() ? name + u' ' + profile.captured(1) : name;
        }
        return QString();
    }

    void offer(const QString& text)
    {
        {
            std::lock_guard lock(mutex);
            offerSdp = text;
        }
        GstSDPMessage* sdp = nullptr;
        if (gst_sdp_message_new_from_text(text.toUtf8().constData(), &sdp) != GST_SDP_OK) {
            return;
        }
        std::optional<int> keep = preferred.isEmpty() ? std::nullopt : payloadFor(sdp, preferred);
        GstWebRTCSessionDescription* description =
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
        std::weak_ptr<State> weak = weak_from_this();
        auto* data = new std::pair<std::weak_ptr<State>, std::optional<int>>(weak, keep);
        GstPromise* promise = gst_promise_new_with_change_func(
            [](GstPromise*, gpointer d) {
                auto* pair = static_cast<std::pair<std::weak_ptr<State>, std::optional<int>>*>(d);
                if (auto self = pair->first.lock()) {
                    self->makeAnswer(pair->second);
                }
            },
            data,
            [](gpointer d) { delete static_cast<std::pair<std::weak_ptr<State>, std::optional<int>>*>(d); });
        g_signal_emit_by_name(webrtc, "set-remote-description", description, promise);
        gst_promise_unref(promise);
        gst_webrtc_session_description_free(description);
    }

    void makeAnswer(std::optional<int> keepPayload)
    {
        if (keepPayload) {
            // A receiving transceiver that accepts only the preferred entry: the answer then names
            // that payload type alone.
            GstCaps* caps = gst_caps_new_simple(
                "application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name", G_TYPE_STRING, "H264",
                "payload", G_TYPE_INT, *keepPayload, "clock-rate", G_TYPE_INT, 90000, "profile-level-id",
                G_TYPE_STRING, preferred.toUtf8().constData(), "packetization-mode", G_TYPE_STRING, "1",
                "level-asymmetry-allowed", G_TYPE_STRING, "1", nullptr);
            GstWebRTCRTPTransceiver* transceiver = nullptr;
            g_signal_emit_by_name(webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY,
                                  caps, &transceiver);
            gst_caps_unref(caps);
            if (transceiver) {
                gst_object_unref(transceiver);
            }
        }
        std::weak_ptr<State> weak = weak_from_this();
        GstPromise* promise = gst_promise_new_with_change_func(
            [](GstPromise* done, gpointer d) {
                auto* self = static_cast<std::weak_ptr<State>*>(d);
                auto state = self->lock();
                const GstStructure* reply = gst_promise_get_reply(done);
                GstWebRTCSessionDescription* answer = nullptr;
                if (!state || !reply ||
                    !gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer,
                                       nullptr)) {
                    return;
                }
                g_signal_emit_by_name(state->webrtc, "set-local-description", answer, nullptr);
                gchar* text = gst_sdp_message_as_text(answer->sdp);
                const QString sdp = QString::fromUtf8(text);
                g_free(text);
                {
                    std::lock_guard lock(state->mutex);
                    state->answer = sdp;
                    state->figures.codec = codecOf(answer->sdp, state->offerSdp);
                }
                gst_webrtc_session_description_free(answer);
                state->post([sdp](State& s) {
                    if (s.sendSignal) {
                        s.sendSignal(LinkMessages::Answer{sdp}.json());
                    }
                });
            },
            new std::weak_ptr<State>(weak), [](gpointer d) { delete static_cast<std::weak_ptr<State>*>(d); });
        g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
        gst_promise_unref(promise);
    }
};

PhoneViewer::PhoneViewer(QString preferredProfileLevelId, bool keepImages)
    : m_state(std::make_shared<State>())
{
    gst_init(nullptr, nullptr);
    m_state->preferred = std::move(preferredProfileLevelId);
    m_state->keepImages = keepImages;
    m_state->pipeline = gst_pipeline_new(nullptr);
    gst_object_ref_sink(m_state->pipeline);
    m_state->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_util_set_object_arg(G_OBJECT(m_state->webrtc), "bundle-policy", "max-bundle");
    g_object_set(m_state->webrtc, "latency", guint(0), nullptr);
    gst_bin_add(GST_BIN(m_state->pipeline), m_state->webrtc);
    auto connect = [&](const char* signal, GCallback callback) {
        g_signal_connect_data(
            m_state->webrtc, signal, callback, new std::weak_ptr<State>(m_state),
            [](gpointer d, GClosure*) { delete static_cast<std::weak_ptr<State>*>(d); }, GConnectFlags(0));
    };
    connect("on-ice-candidate", G_CALLBACK(State::onIceCandidate));
    connect("notify::ice-connection-state", G_CALLBACK(State::onIceNotify));
    connect("on-data-channel", G_CALLBACK(State::onDataChannel));
    connect("pad-added", G_CALLBACK(State::onPadAdded));
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(m_state->pipeline));
    m_state->busWatch = gst_bus_add_watch(bus, &State::onBus, m_state.get());
    gst_object_unref(bus);
    gst_element_set_state(m_state->pipeline, GST_STATE_PLAYING);
    m_keyFrameRequests.setInterval(keyFrameRequestInterval);
    QObject::connect(&m_keyFrameRequests, &QTimer::timeout, [state = std::weak_ptr<State>(m_state)] {
        if (auto self = state.lock()) {
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
    g_source_remove(m_state->busWatch);
    gst_element_set_state(m_state->pipeline, GST_STATE_NULL);
    if (m_state->video) {
        gst_object_unref(m_state->video);
    }
    gst_object_unref(m_state->pipeline);
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
    } else if (const auto ice = LinkMessages::Ice::from(message); ice && !ice->candidate.isEmpty()) {
        g_signal_emit_by_name(m_state->webrtc, "add-ice-candidate", guint(std::max(0, ice->index)),
                              ice->candidate.toUtf8().constData());
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
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(m_state->webrtc, "get-stats", nullptr, promise);
    std::int64_t bytes = 0;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        const GstStructure* reply = gst_promise_get_reply(promise);
        for (int i = 0; reply && i < gst_structure_n_fields(reply); ++i) {
            const GValue* value = gst_structure_get_value(reply, gst_structure_nth_field_name(reply, i));
            if (!GST_VALUE_HOLDS_STRUCTURE(value)) {
                continue;
            }
            const GstStructure* entry = gst_value_get_structure(value);
            GstWebRTCStatsType type = GST_WEBRTC_STATS_CODEC;
            guint64 received = 0;
            if (gst_structure_get(entry, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) &&
                type == GST_WEBRTC_STATS_INBOUND_RTP &&
                gst_structure_get_uint64(entry, "bytes-received", &received)) {
                bytes += static_cast<std::int64_t>(received);
            }
        }
    }
    gst_promise_unref(promise);
    return bytes;
}
