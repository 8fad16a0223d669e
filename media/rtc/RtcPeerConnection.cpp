#include "media/rtc/RtcPeerConnection.h"

#include "base/HelperLog.h"
#include "base/MainThreadQueue.h"
#include "media/rtc/SignalGuard.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QTimer>

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int firstPayloadType = 96;
// A still picture is encoded again for a key frame when no picture came for this long.
constexpr std::chrono::milliseconds stillRepeatAfter{100};
// After the connection is up, a still screen's picture is encoded again at these delays.
constexpr std::array settleRepeats{std::chrono::milliseconds(500), std::chrono::milliseconds(1500)};

QString toCamelCase(const char* name)
{
    QString out;
    bool upper = false;
    for (const char* c = name; *c; ++c) {
        if (*c == '-' || *c == '_') {
            upper = true;
            continue;
        }
        out += upper ? QChar(QLatin1Char(*c)).toUpper() : QChar(QLatin1Char(*c));
        upper = false;
    }
    return out;
}

QString statsTypeName(GstWebRTCStatsType type)
{
    switch (type) {
    case GST_WEBRTC_STATS_CODEC:
        return u"codec"_s;
    case GST_WEBRTC_STATS_INBOUND_RTP:
        return u"inbound-rtp"_s;
    case GST_WEBRTC_STATS_OUTBOUND_RTP:
        return u"outbound-rtp"_s;
    case GST_WEBRTC_STATS_REMOTE_INBOUND_RTP:
        return u"remote-inbound-rtp"_s;
    case GST_WEBRTC_STATS_REMOTE_OUTBOUND_RTP:
        return u"remote-outbound-rtp"_s;
    case GST_WEBRTC_STATS_CSRC:
        return u"csrc"_s;
    case GST_WEBRTC_STATS_PEER_CONNECTION:
        return u"peer-connection"_s;
    case GST_WEBRTC_STATS_DATA_CHANNEL:
        return u"data-channel"_s;
    case GST_WEBRTC_STATS_STREAM:
        return u"stream"_s;
    case GST_WEBRTC_STATS_TRANSPORT:
        return u"transport"_s;
    case GST_WEBRTC_STATS_CANDIDATE_PAIR:
        return u"candidate-pair"_s;
    case GST_WEBRTC_STATS_LOCAL_CANDIDATE:
        return u"local-candidate"_s;
    case GST_WEBRTC_STATS_REMOTE_CANDIDATE:
        return u"remote-candidate"_s;
    case GST_WEBRTC_STATS_CERTIFICATE:
        return u"certificate"_s;
    }
    return QString();
}

QVariant toVariant(const GValue* value)
{
    if (G_VALUE_HOLDS_STRING(value)) {
        return QString::fromUtf8(g_value_get_string(value));
    }
    if (G_VALUE_HOLDS_DOUBLE(value)) {
        return g_value_get_double(value);
    }
    if (G_VALUE_HOLDS_FLOAT(value)) {
        return double(g_value_get_float(value));
    }
    if (G_VALUE_HOLDS_INT(value)) {
        return g_value_get_int(value);
    }
    if (G_VALUE_HOLDS_UINT(value)) {
        return double(g_value_get_uint(value));
    }
    if (G_VALUE_HOLDS_INT64(value)) {
        return double(g_value_get_int64(value));
    }
    if (G_VALUE_HOLDS_UINT64(value)) {
        return double(g_value_get_uint64(value));
    }
    if (G_VALUE_HOLDS_BOOLEAN(value)) {
        return g_value_get_boolean(value) != FALSE;
    }
    if (G_VALUE_HOLDS_ENUM(value)) {
        return g_value_get_enum(value);
    }
    return {};
}

// The parameters of an a=fmtp value: "k=v;k=v".
QMap<QString, QString> fmtpParameters(const QString& text)
{
    QMap<QString, QString> parameters;
    for (const QString& part : text.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(u'=');
        if (equals > 0) {
            parameters.insert(part.left(equals).trimmed(), part.mid(equals + 1).trimmed());
        }
    }
    return parameters;
}

GstWebRTCSessionDescription* parseDescription(const RtcSessionDescription& description)
{
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(description.sdp.toUtf8().constData(), &sdp) != GST_SDP_OK) {
        return nullptr;
    }
    return gst_webrtc_session_description_new(description.type == RtcSessionDescription::Type::offer
                                                  ? GST_WEBRTC_SDP_TYPE_OFFER
                                                  : GST_WEBRTC_SDP_TYPE_ANSWER,
                                              sdp);
}

// Names the sent track and its stream in the offer ("STREAM TRACK"), which webrtcbin writes only
// on ssrc lines and those come only with caps on the sink pad: the media sections that send video
// get "a=msid", the session "a=msid-semantic: WMS STREAM", so that the viewer's track and stream
// carry the ids the sender chose.
void nameTracks(GstSDPMessage* sdp, const QString& msid)
{
    if (msid.isEmpty()) {
        return;
    }
    const QByteArray value = msid.toUtf8();
    const auto has = [](const GstSDPMedia* media, const char* key) {
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            if (g_strcmp0(gst_sdp_media_get_attribute(media, a)->key, key) == 0) {
                return true;
            }
        }
        return false;
    };
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, m);
        if (g_strcmp0(gst_sdp_media_get_media(media), "video") != 0 || has(media, "msid") ||
            !has(media, "sendonly")) {
            continue;
        }
        // The message's own media, which its API hands out read-only.
        gst_sdp_media_add_attribute(const_cast<GstSDPMedia*>(media), "msid", value.constData());
    }
    const QByteArray semantic = " WMS " + value.left(value.indexOf(' '));
    for (guint a = 0; a < gst_sdp_message_attributes_len(sdp); ++a) {
        if (g_strcmp0(gst_sdp_message_get_attribute(sdp, a)->key, "msid-semantic") == 0) {
            gst_sdp_message_remove_attribute(sdp, a);
            break;
        }
    }
    gst_sdp_message_add_attribute(sdp, "msid-semantic", semantic.constData());
}

std::optional<QString> promiseError(GstPromise* promise)
{
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        return u"The operation was interrupted."_s;
    }
    const GstStructure* reply = gst_promise_get_reply(promise);
    if (!reply) {
        return std::nullopt;
    }
    GError* error = nullptr;
    if (gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr) && error) {
        const QString text = QString::fromUtf8(error->message);
        g_error_free(error);
        return text;
    }
    return std::nullopt;
}

template <typename F>
GstPromise* promiseCalling(F function)
{
    auto* heap = new F(std::move(function));
    return gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) { (*static_cast<F*>(data))(promise); }, heap,
        [](gpointer data) { delete static_cast<F*>(data); });
}

} // namespace

struct RtcPeerConnection::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<RtcEncoderFactory> encoders;
    Delegate delegate;
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    guint busWatch = 0;
    std::unique_ptr<MainThreadQueue> mainThread = std::make_unique<MainThreadQueue>();
    SignalGuard<guint, const char*> iceCandidate;
    SignalGuard<> iceState;
    SignalGuard<> connectionState;
    bool closed = false;

    // Guarded by mutex: touched by the main thread, the capture thread and library threads.
    mutable std::mutex mutex;
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    GstPad* sinkPad = nullptr;
    std::map<int, RtcCodecInfo> preferences; // by payload type, in offer order
    std::vector<int> preferenceOrder;
    std::vector<QString> mids; // of the local description, by media-line index
    std::optional<QString> remoteSdp;
    // "STREAM TRACK" of the sent track, for the offer.
    QString msid;
    RtcRtpParameters parameters{std::nullopt, {RtcRtpEncodingParameters{}}};
    // The encoding branch, once built.
    GstElement* appsrc = nullptr;
    GstElement* encoder = nullptr;
    std::optional<RtcEncoderSpec> spec;
    int payloadType = 0;
    int capsWidth = 0;
    int capsHeight = 0;
    std::chrono::nanoseconds lastPushed{-1};
    // The latest picture offered. A still screen sends no more pictures, so when a viewer asks
    // for a key frame (a new connection, a lost picture) and none came lately, this one is
    // encoded again.
    std::shared_ptr<PixelBuffer> still;
    // When the latest new picture (not a repeat of the still one) was offered.
    std::chrono::nanoseconds lastChanged{-1};
    // A repeat asked for right after a push is made once the interval has passed.
    bool repeatPending = false;
    std::atomic<std::uint64_t> encodedFrames{0};
    std::uint64_t countedFrames = 0;
    std::chrono::steady_clock::time_point countedAt = std::chrono::steady_clock::now();
    double framesPerSecond = 0;

    ~Core() { shutDown(); }

    void setLocal(const RtcSessionDescription& description,
                  std::function<void(std::optional<QString>)> completion)
    {
        GstWebRTCSessionDescription* parsed = parseDescription(description);
        if (!parsed) {
            completion(u"The session description cannot be read."_s);
            return;
        }
        {
            // The media ids, to tell which section a local candidate belongs to.
            std::lock_guard lock(mutex);
            mids.clear();
            for (guint m = 0; m < gst_sdp_message_medias_len(parsed->sdp); ++m) {
                const gchar* mid =
                    gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(parsed->sdp, m), "mid");
                mids.push_back(QString::fromUtf8(mid ? mid : ""));
            }
        }
        GstPromise* promise = promiseCalling(
            [completion = std::move(completion)](GstPromise* done) { completion(promiseError(done)); });
        g_signal_emit_by_name(webrtc, "set-local-description", parsed, promise);
        gst_promise_unref(promise);
        gst_webrtc_session_description_free(parsed);
    }

    void shutDown()
    {
        if (closed) {
            return;
        }
        closed = true;
        iceCandidate.set(nullptr);
        iceState.set(nullptr);
        connectionState.set(nullptr);
        if (busWatch) {
            g_source_remove(busWatch);
            busWatch = 0;
        }
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        // The references go after the lock is released: disposing of elements takes GStreamer's
        // own locks, which streaming threads hold while they wait for ours.
        std::vector<gpointer> references;
        {
            std::lock_guard lock(mutex);
            for (gpointer object :
                 {gpointer(std::exchange(sinkPad, nullptr)), gpointer(std::exchange(transceiver, nullptr)),
                  gpointer(std::exchange(pipeline, nullptr))}) {
                if (object) {
                    references.push_back(object);
                }
            }
            appsrc = nullptr;
            encoder = nullptr;
            webrtc = nullptr;
        }
        for (gpointer object : references) {
            gst_object_unref(object);
        }
    }

    static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data)
    {
        auto* core = static_cast<Core*>(data);
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_LATENCY:
            gst_bin_recalculate_latency(GST_BIN(core->pipeline));
            break;
        case GST_MESSAGE_ERROR: {
            GError* error = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            HelperLog::write(u"webrtc: "_s + QString::fromUtf8(error ? error->message : "error").left(300));
            g_clear_error(&error);
            g_free(debug);
            break;
        }
        default:
            break;
        }
        return TRUE;
    }

    static void onIceCandidate(GstElement*, guint index, gchar* candidate, gpointer data)
    {
        SignalGuard<guint, const char*>::invoke(data, index, candidate);
    }

    static void onStateNotify(GstElement*, GParamSpec*, gpointer data) { SignalGuard<>::invoke(data); }

    void iceCandidateFound(guint index, const char* text)
    {
        RtcIceCandidate candidate{QString::fromUtf8(text), static_cast<int>(index), std::nullopt};
        {
            std::lock_guard lock(mutex);
            if (index < mids.size() && !mids[index].isEmpty()) {
                candidate.sdpMid = mids[index];
            }
        }
        if (delegate.didGenerateIceCandidate) {
            delegate.didGenerateIceCandidate(candidate);
        }
    }

    void iceStateChanged()
    {
        GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "ice-connection-state", &state, nullptr);
        if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
            state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) {
            requestKeyFrame();
        }
        if (delegate.didChangeIceConnectionState) {
            delegate.didChangeIceConnectionState(static_cast<RtcIceConnectionState>(state));
        }
    }

    // ICE may be connected before DTLS is: a key frame encoded then is lost to the viewer, and on
    // a still screen nothing else would come before the encoder's next key frame. So once the
    // whole connection is up, one more.
    void connectionStateChanged()
    {
        GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "connection-state", &state, nullptr);
        if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
            requestKeyFrame();
            // The viewer's end may install its keys a moment after this one (its DTLS finishes
            // later) and drop what comes before. On a still screen nothing else would follow, so
            // the still picture comes again twice, unless the screen changes meanwhile.
            const auto connectedAt = std::chrono::steady_clock::now().time_since_epoch();
            for (const std::chrono::milliseconds after : settleRepeats) {
                later(after, [connectedAt](Core& self) {
                    if (self.stillSince(connectedAt)) {
                        self.requestKeyFrame();
                    }
                });
            }
        }
    }

    // Runs the work on the main thread after the delay, if the connection still exists then.
    void later(std::chrono::milliseconds delay, std::function<void(Core&)> work)
    {
        mainThread->post([weak = weak_from_this(), delay, work = std::move(work)] {
            QTimer::singleShot(delay, [weak, work] {
                if (auto self = weak.lock()) {
                    work(*self);
                }
            });
        });
    }

    bool stillSince(std::chrono::nanoseconds time)
    {
        std::lock_guard lock(mutex);
        return still && !closed && lastChanged <= time;
    }

    // Encodes the still picture again, for a key frame that was asked for. Right after a push
    // (which may have gone out before the request, or before the viewer could receive it) the
    // repeat waits until the interval has passed: on a still screen no other picture would come
    // to carry the key frame.
    void repeatStill()
    {
        std::shared_ptr<PixelBuffer> picture;
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        {
            std::lock_guard lock(mutex);
            if (!still || closed) {
                return;
            }
            if (lastPushed.count() >= 0 && now - lastPushed < stillRepeatAfter) {
                if (!repeatPending) {
                    repeatPending = true;
                    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                                          stillRepeatAfter - (now - lastPushed)) +
                                      std::chrono::milliseconds(1);
                    later(wait, [askedAt = now](Core& self) { self.repeatStillUnlessPushedSince(askedAt); });
                }
                return;
            }
            picture = still;
        }
        push(picture, now);
    }

    // The delayed repeat: a picture pushed after the request carries the key frame by itself (a
    // moving screen), so only a still screen gets its picture again, and only once.
    void repeatStillUnlessPushedSince(std::chrono::nanoseconds askedAt)
    {
        std::shared_ptr<PixelBuffer> picture;
        {
            std::lock_guard lock(mutex);
            repeatPending = false;
            if (!still || closed || lastPushed > askedAt) {
                return;
            }
            picture = still;
        }
        push(picture, std::chrono::steady_clock::now().time_since_epoch());
    }

    // A new viewer needs a picture it can start decoding from.
    void requestKeyFrame()
    {
        GstElement* target = nullptr;
        {
            std::lock_guard lock(mutex);
            if (encoder) {
                target = GST_ELEMENT(gst_object_ref(encoder));
            }
        }
        if (!target) {
            return;
        }
        if (GstPad* pad = gst_element_get_static_pad(target, "src")) {
            gst_pad_send_event(pad,
                               gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
            gst_object_unref(pad);
        }
        // The event passes the encoder's source pad, whose probe encodes the still picture again.
        gst_object_unref(target);
    }

    GstCaps* preferenceCaps(int payloadType, const RtcCodecInfo& codec) const
    {
        GstCaps* caps =
            gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                                G_TYPE_STRING, codec.name.toUtf8().constData(), "payload", G_TYPE_INT,
                                payloadType, "clock-rate", G_TYPE_INT, 90000, nullptr);
        GstStructure* structure = gst_caps_get_structure(caps, 0);
        for (auto it = codec.parameters.begin(); it != codec.parameters.end(); ++it) {
            gst_structure_set(structure, it.key().toUtf8().constData(), G_TYPE_STRING,
                              it.value().toUtf8().constData(), nullptr);
        }
        return caps;
    }

    // The codec the answer chose for the video: the first payload type of its video section.
    std::optional<std::pair<int, RtcCodecInfo>> negotiatedCodec(const QString& answer) const
    {
        GstSDPMessage* sdp = nullptr;
        if (gst_sdp_message_new_from_text(answer.toUtf8().constData(), &sdp) != GST_SDP_OK) {
            return std::nullopt;
        }
        std::optional<std::pair<int, RtcCodecInfo>> chosen;
        for (guint m = 0; m < gst_sdp_message_medias_len(sdp) && !chosen; ++m) {
            const GstSDPMedia* media = gst_sdp_message_get_media(sdp, m);
            if (g_strcmp0(gst_sdp_media_get_media(media), "video") != 0 ||
                gst_sdp_media_formats_len(media) == 0 || gst_sdp_media_get_port(media) == 0) {
                continue;
            }
            const int payload = QString::fromLatin1(gst_sdp_media_get_format(media, 0)).toInt();
            RtcCodecInfo codec;
            for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
                const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
                const QString value = QString::fromUtf8(attribute->value ? attribute->value : "");
                if (value.section(u' ', 0, 0).toInt() != payload) {
                    continue;
                }
                if (g_strcmp0(attribute->key, "rtpmap") == 0) {
                    codec.name = value.section(u' ', 1).section(u'/', 0, 0);
                } else if (g_strcmp0(attribute->key, "fmtp") == 0) {
                    codec.parameters = fmtpParameters(value.section(u' ', 1));
                }
            }
            chosen = std::pair{payload, codec};
        }
        gst_sdp_message_free(sdp);
        return chosen;
    }

    // Builds appsrc → encoder → payloader → capssetter → webrtcbin for the codec of the answer.
    void buildEncodingBranch()
    {
        std::unique_lock lock(mutex);
        if (closed || appsrc || !remoteSdp || !sinkPad) {
            return;
        }
        const auto negotiated = negotiatedCodec(*remoteSdp);
        if (!negotiated) {
            return;
        }
        const auto offered = preferences.find(negotiated->first);
        // The negotiated codec is the offered entry of that payload type, with what the answer
        // says on top (an answer may leave out parameters such as the profile).
        RtcCodecInfo codec = offered != preferences.end() ? offered->second : negotiated->second;
        for (auto it = negotiated->second.parameters.begin(); it != negotiated->second.parameters.end();
             ++it) {
            codec.parameters.insert(it.key(), it.value());
        }
        const std::optional<RtcEncoderSpec> made = encoders->createEncoder(codec);
        if (!made) {
            HelperLog::write(u"webrtc: no encoder for "_s + negotiated->second.name);
            return;
        }
        const bool h264 = made->payloader == u"rtph264pay"_s;
        GstElement* source = gst_element_factory_make("appsrc", nullptr);
        GstElement* encode = gst_element_factory_make(made->encoder.toLatin1().constData(), nullptr);
        GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
        GstElement* pay = gst_element_factory_make(made->payloader.toLatin1().constData(), nullptr);
        GstElement* setter = gst_element_factory_make("capssetter", nullptr);
        if (!source || !encode || !filter || !pay || !setter) {
            HelperLog::write(u"webrtc: cannot make the encoding elements for "_s + made->codec.name);
            for (GstElement* element : {source, encode, filter, pay, setter}) {
                if (element) {
                    gst_object_unref(element);
                }
            }
            return;
        }
        g_object_set(source, "format", GST_FORMAT_TIME, "is-live", TRUE, "do-timestamp", FALSE, "block",
                     FALSE, "max-buffers", guint64(2), nullptr);
        gst_app_src_set_leaky_type(GST_APP_SRC(source), GST_APP_LEAKY_TYPE_DOWNSTREAM);
        const int kbps = std::max(1, parameters.encodings.front().maxBitrateBps.value_or(6'000'000) / 1000);
        if (made->encoder == u"x264enc"_s) {
            gst_util_set_object_arg(G_OBJECT(encode), "tune", "zerolatency");
            gst_util_set_object_arg(G_OBJECT(encode), "speed-preset", "ultrafast");
            g_object_set(encode, "bitrate", guint(kbps), "key-int-max", guint(120), "vbv-buf-capacity",
                         guint(200), nullptr);
        } else if (made->encoder == u"openh264enc"_s) {
            g_object_set(encode, "bitrate", guint(kbps * 1000), "gop-size", guint(120), nullptr);
        } else if (made->encoder == u"vp8enc"_s) {
            g_object_set(encode, "deadline", gint64(1), "target-bitrate", gint(kbps * 1000),
                         "keyframe-max-dist", gint(120), "cpu-used", gint(8), nullptr);
        }
        GstCaps* encoded = h264 ? gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING,
                                                      made->profile.toUtf8().constData(), nullptr)
                                : gst_caps_new_empty_simple("video/x-vp8");
        g_object_set(filter, "caps", encoded, nullptr);
        gst_caps_unref(encoded);
        g_object_set(pay, "pt", guint(negotiated->first), nullptr);
        if (h264) {
            g_object_set(pay, "config-interval", gint(-1), nullptr);
            gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");
        }
        // What reaches webrtcbin is the offered entry for this payload type, whatever the stream's
        // own headers say (rtph264pay knows levels only up to 5.1, x264 writes other constraint
        // flags): the answer was made against exactly that entry.
        GstCaps* rtpCaps = preferenceCaps(
            negotiated->first, offered != preferences.end() ? offered->second : negotiated->second);
        g_object_set(setter, "caps", rtpCaps, "join", TRUE, "replace", FALSE, nullptr);
        gst_caps_unref(rtpCaps);

        gst_bin_add_many(GST_BIN(pipeline), source, encode, filter, pay, setter, nullptr);
        GstPad* setterSrc = gst_element_get_static_pad(setter, "src");
        const bool linked = gst_element_link_many(source, encode, filter, pay, setter, nullptr) &&
                            gst_pad_link(setterSrc, sinkPad) == GST_PAD_LINK_OK;
        gst_object_unref(setterSrc);
        if (!linked) {
            HelperLog::write(u"webrtc: cannot link the encoding branch for "_s + made->codec.name);
            return;
        }
        GstPad* encodedPad = gst_element_get_static_pad(encode, "src");
        gst_pad_add_probe(
            encodedPad, GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad*, GstPadProbeInfo*, gpointer data) {
                static_cast<std::atomic<std::uint64_t>*>(data)->fetch_add(1, std::memory_order_relaxed);
                return GST_PAD_PROBE_OK;
            },
            &encodedFrames, nullptr);
        // Key frames the viewer asks for (RTCP PLI and FIR arrive as this event) need a picture.
        gst_pad_add_probe(
            encodedPad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
            [](GstPad*, GstPadProbeInfo* info, gpointer data) {
                if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) {
                    static_cast<Core*>(data)->repeatStill();
                }
                return GST_PAD_PROBE_OK;
            },
            this, nullptr);
        gst_object_unref(encodedPad);
        appsrc = source;
        encoder = encode;
        spec = made;
        payloadType = negotiated->first;
        lock.unlock();
        for (GstElement* element : {setter, pay, filter, encode, source}) {
            gst_element_sync_state_with_parent(element);
        }
    }

    void push(const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time)
    {
        std::unique_lock lock(mutex);
        if (closed) {
            return;
        }
        if (picture != still) {
            lastChanged = time;
        }
        still = picture;
        if (!appsrc) {
            return;
        }
        // The frame-rate cap: pictures closer together than the interval are dropped (with 2 ms
        // of tolerance for the capture's own jitter).
        const int maxFramerate = parameters.encodings.front().maxFramerate.value_or(0);
        if (maxFramerate > 0 && lastPushed.count() >= 0 &&
            time - lastPushed <
                std::chrono::nanoseconds(1'000'000'000 / maxFramerate) - std::chrono::milliseconds(2)) {
            return;
        }
        const GstClockTime base = gst_element_get_base_time(pipeline);
        if (base == GST_CLOCK_TIME_NONE || static_cast<GstClockTime>(time.count()) < base) {
            return;
        }
        if (picture->width() != capsWidth || picture->height() != capsHeight) {
            capsWidth = picture->width();
            capsHeight = picture->height();
            GstCaps* caps = gst_caps_new_simple(
                "video/x-raw", "format", G_TYPE_STRING, "NV12", "width", G_TYPE_INT, capsWidth, "height",
                G_TYPE_INT, capsHeight, "framerate", GST_TYPE_FRACTION, maxFramerate > 0 ? maxFramerate : 60,
                1, "colorimetry", G_TYPE_STRING, "bt601", "interlace-mode", G_TYPE_STRING, "progressive",
                nullptr);
            gst_app_src_set_caps(GST_APP_SRC(appsrc), caps);
            gst_caps_unref(caps);
        }
        lastPushed = time;
        GstElement* source = GST_ELEMENT(gst_object_ref(appsrc));
        lock.unlock();

        auto* holder = new std::shared_ptr<PixelBuffer>(picture);
        GstBuffer* buffer = gst_buffer_new_wrapped_full(
            GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(picture->data()),
            static_cast<gsize>(picture->byteSize()), 0, static_cast<gsize>(picture->byteSize()), holder,
            [](gpointer data) { delete static_cast<std::shared_ptr<PixelBuffer>*>(data); });
        gsize offsets[GST_VIDEO_MAX_PLANES] = {0,
                                               static_cast<gsize>(picture->lumaStride()) * picture->height()};
        gint strides[GST_VIDEO_MAX_PLANES] = {picture->lumaStride(), picture->chromaStride()};
        gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12,
                                       static_cast<guint>(picture->width()),
                                       static_cast<guint>(picture->height()), 2, offsets, strides);
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(time.count()) - base;
        gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
        gst_object_unref(source);
    }

    void applyEncoderBitrate()
    {
        std::lock_guard lock(mutex);
        if (!encoder || !spec) {
            return;
        }
        const int bps = parameters.encodings.front().maxBitrateBps.value_or(6'000'000);
        if (spec->encoder == u"x264enc"_s) {
            g_object_set(encoder, "bitrate", guint(std::max(1, bps / 1000)), nullptr);
        } else if (spec->encoder == u"openh264enc"_s) {
            g_object_set(encoder, "bitrate", guint(bps), nullptr);
        } else if (spec->encoder == u"vp8enc"_s) {
            g_object_set(encoder, "target-bitrate", gint(bps), nullptr);
        }
    }

    // Figures webrtcbin does not report, taken from the encoding branch.
    void addEncoderFigures(RtcStatsReport& report)
    {
        std::lock_guard lock(mutex);
        const auto now = std::chrono::steady_clock::now();
        const std::uint64_t frames = encodedFrames.load(std::memory_order_relaxed);
        const double elapsed = std::chrono::duration<double>(now - countedAt).count();
        if (elapsed >= 0.5) {
            framesPerSecond = static_cast<double>(frames - countedFrames) / elapsed;
            countedFrames = frames;
            countedAt = now;
        }
        for (auto it = report.statistics.begin(); it != report.statistics.end(); ++it) {
            if (it->type != u"outbound-rtp"_s) {
                continue;
            }
            QVariantMap& values = it->values;
            if (!values.contains(u"kind"_s)) {
                values.insert(u"kind"_s, u"video"_s);
            }
            if (!spec) {
                continue;
            }
            values.insert(u"framesPerSecond"_s, framesPerSecond);
            values.insert(u"frameWidth"_s, capsWidth);
            values.insert(u"frameHeight"_s, capsHeight);
            values.insert(u"encoderImplementation"_s, spec->encoder);
        }
    }
};

std::unique_ptr<RtcPeerConnection> RtcPeerConnection::create(std::shared_ptr<RtcEncoderFactory> encoders,
                                                             Delegate delegate)
{
    auto core = std::make_shared<Core>();
    core->encoders = std::move(encoders);
    core->delegate = std::move(delegate);
    core->pipeline = gst_pipeline_new(nullptr);
    core->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    if (!core->pipeline || !core->webrtc) {
        if (core->webrtc) {
            gst_object_unref(core->webrtc);
        }
        return nullptr;
    }
    gst_object_ref_sink(core->pipeline);
    gst_util_set_object_arg(G_OBJECT(core->webrtc), "bundle-policy", "max-bundle");
    g_object_set(core->webrtc, "latency", guint(0), nullptr);
    gst_bin_add(GST_BIN(core->pipeline), core->webrtc);

    std::weak_ptr<Core> weak = core;
    core->iceCandidate.set([weak](guint index, const char* text) {
        if (auto self = weak.lock()) {
            self->iceCandidateFound(index, text);
        }
    });
    core->iceState.set([weak] {
        if (auto self = weak.lock()) {
            self->iceStateChanged();
        }
    });
    g_signal_connect_data(core->webrtc, "on-ice-candidate", G_CALLBACK(Core::onIceCandidate),
                          core->iceCandidate.closureData(),
                          &SignalGuard<guint, const char*>::destroyClosureData, GConnectFlags(0));
    g_signal_connect_data(core->webrtc, "notify::ice-connection-state", G_CALLBACK(Core::onStateNotify),
                          core->iceState.closureData(), &SignalGuard<>::destroyClosureData, GConnectFlags(0));
    core->connectionState.set([weak] {
        if (auto self = weak.lock()) {
            self->connectionStateChanged();
        }
    });
    g_signal_connect_data(core->webrtc, "notify::connection-state", G_CALLBACK(Core::onStateNotify),
                          core->connectionState.closureData(), &SignalGuard<>::destroyClosureData,
                          GConnectFlags(0));
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(core->pipeline));
    core->busWatch = gst_bus_add_watch(bus, &Core::onBusMessage, core.get());
    gst_object_unref(bus);
    if (gst_element_set_state(core->pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        return nullptr;
    }
    return std::unique_ptr<RtcPeerConnection>(new RtcPeerConnection(std::move(core)));
}

RtcPeerConnection::RtcPeerConnection(std::shared_ptr<Core> core) : m_core(std::move(core))
{}

RtcPeerConnection::~RtcPeerConnection()
{
    close();
}

std::shared_ptr<RtcRtpTransceiver> RtcPeerConnection::addTransceiver(const QString& trackId,
                                                                     const QStringList& streamIds)
{
    // Requesting the sink pad makes its transceiver; it is then made send-only. (A transceiver
    // added first would not be the one the requested pad feeds.)
    GstPad* pad = gst_element_request_pad_simple(m_core->webrtc, "sink_%u");
    if (!pad) {
        return nullptr;
    }
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(pad, "transceiver", &transceiver, nullptr);
    if (!transceiver) {
        gst_element_release_request_pad(m_core->webrtc, pad);
        gst_object_unref(pad);
        return nullptr;
    }
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
    {
        std::lock_guard lock(m_core->mutex);
        m_core->transceiver = transceiver;
        m_core->sinkPad = pad;
        m_core->msid = streamIds.value(0, u"ovu"_s) + u' ' + trackId;
    }
    m_transceiver = std::make_shared<RtcRtpTransceiver>(m_core);
    return m_transceiver;
}

std::shared_ptr<RtcDataChannel> RtcPeerConnection::createDataChannel(const QString& label,
                                                                     const RtcDataChannelInit& init)
{
    GstStructure* options = gst_structure_new("application/data-channel", "ordered", G_TYPE_BOOLEAN,
                                              init.ordered ? TRUE : FALSE, nullptr);
    if (init.maxRetransmits) {
        gst_structure_set(options, "max-retransmits", G_TYPE_INT, *init.maxRetransmits, nullptr);
    }
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(m_core->webrtc, "create-data-channel", label.toUtf8().constData(), options,
                          &channel);
    gst_structure_free(options);
    if (!channel) {
        return nullptr;
    }
    auto wrapped = std::make_shared<RtcDataChannel>(channel);
    g_object_unref(channel);
    return wrapped;
}

std::shared_ptr<RtcVideoSource> RtcPeerConnection::videoSource() const
{
    return std::make_shared<RtcVideoSource>(m_core);
}

void RtcPeerConnection::createOffer(std::function<void(std::optional<RtcSessionDescription>)> completion)
{
    // webrtcbin negotiates once it runs; the offer comes from the transceiver's codec preferences.
    gst_element_set_state(m_core->pipeline, GST_STATE_PLAYING);
    std::weak_ptr<Core> weak = m_core;
    GstPromise* promise = promiseCalling([weak, completion = std::move(completion)](GstPromise* done) {
        std::optional<RtcSessionDescription> offer;
        if (gst_promise_wait(done) == GST_PROMISE_RESULT_REPLIED) {
            GstWebRTCSessionDescription* description = nullptr;
            const GstStructure* reply = gst_promise_get_reply(done);
            if (reply &&
                gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description,
                                  nullptr) &&
                description) {
                if (auto core = weak.lock()) {
                    std::lock_guard lock(core->mutex);
                    nameTracks(description->sdp, core->msid);
                }
                gchar* text = gst_sdp_message_as_text(description->sdp);
                offer = RtcSessionDescription{RtcSessionDescription::Type::offer, QString::fromUtf8(text)};
                g_free(text);
                gst_webrtc_session_description_free(description);
            }
        }
        completion(offer);
    });
    g_signal_emit_by_name(m_core->webrtc, "create-offer", nullptr, promise);
    gst_promise_unref(promise);
}

void RtcPeerConnection::createOfferAndSetLocal(std::function<void(const QString&)> completion)
{
    std::weak_ptr<Core> weak = m_core;
    createOffer([weak, completion = std::move(completion)](std::optional<RtcSessionDescription> offer) {
        auto core = weak.lock();
        if (!offer || !core || core->closed) {
            return;
        }
        core->setLocal(*offer,
                       [completion, sdp = offer->sdp](const std::optional<QString>&) { completion(sdp); });
    });
}

void RtcPeerConnection::setLocalDescription(const RtcSessionDescription& description,
                                            std::function<void(std::optional<QString>)> completion)
{
    m_core->setLocal(description, std::move(completion));
}

void RtcPeerConnection::setRemoteDescription(const RtcSessionDescription& description,
                                             std::function<void(std::optional<QString>)> completion)
{
    GstWebRTCSessionDescription* parsed = parseDescription(description);
    if (!parsed) {
        completion(u"The session description cannot be read."_s);
        return;
    }
    std::weak_ptr<Core> weak = m_core;
    const QString sdp = description.sdp;
    GstPromise* promise = promiseCalling([weak, sdp, completion = std::move(completion)](GstPromise* done) {
        const std::optional<QString> error = promiseError(done);
        if (!error) {
            if (auto core = weak.lock()) {
                {
                    std::lock_guard lock(core->mutex);
                    core->remoteSdp = sdp;
                }
                // Elements are added and linked from the main thread, not from webrtcbin's own.
                core->mainThread->post([weak] {
                    if (auto self = weak.lock()) {
                        self->buildEncodingBranch();
                    }
                });
            }
        }
        completion(error);
    });
    g_signal_emit_by_name(m_core->webrtc, "set-remote-description", parsed, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(parsed);
}

void RtcPeerConnection::addIceCandidate(const RtcIceCandidate& candidate)
{
    QString line = candidate.sdp.trimmed();
    if (line.startsWith(u"a="_s)) {
        line = line.mid(2);
    }
    if (line.isEmpty() || m_core->closed) {
        return; // the end of candidates
    }
    g_signal_emit_by_name(m_core->webrtc, "add-ice-candidate", guint(std::max(0, candidate.sdpMLineIndex)),
                          line.toUtf8().constData());
}

void RtcPeerConnection::statistics(std::function<void(const RtcStatsReport&)> completion)
{
    std::weak_ptr<Core> weak = m_core;
    GstPromise* promise = promiseCalling([weak, completion = std::move(completion)](GstPromise* done) {
        RtcStatsReport report;
        const GstStructure* reply =
            gst_promise_wait(done) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(done) : nullptr;
        for (int i = 0; reply && i < gst_structure_n_fields(reply); ++i) {
            const GValue* value = gst_structure_get_value(reply, gst_structure_nth_field_name(reply, i));
            if (!GST_VALUE_HOLDS_STRUCTURE(value)) {
                continue;
            }
            const GstStructure* entry = gst_value_get_structure(value);
            RtcStatsReport::Entry parsed;
            GstWebRTCStatsType type = GST_WEBRTC_STATS_CODEC;
            if (!gst_structure_get(entry, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr)) {
                continue;
            }
            parsed.type = statsTypeName(type);
            QString id = QString::fromUtf8(gst_structure_get_string(entry, "id"));
            if (id.isEmpty()) {
                id = QString::fromUtf8(gst_structure_nth_field_name(reply, i));
            }
            for (int f = 0; f < gst_structure_n_fields(entry); ++f) {
                const char* name = gst_structure_nth_field_name(entry, f);
                if (g_strcmp0(name, "type") == 0) {
                    continue;
                }
                const QVariant converted = toVariant(gst_structure_get_value(entry, name));
                if (converted.isValid()) {
                    parsed.values.insert(toCamelCase(name), converted);
                }
            }
            report.statistics.insert(id, parsed);
        }
        if (auto core = weak.lock()) {
            core->addEncoderFigures(report);
        }
        completion(report);
    });
    g_signal_emit_by_name(m_core->webrtc, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}

void RtcPeerConnection::close()
{
    m_core->shutDown();
    m_transceiver = nullptr;
}

std::optional<RtcEncoderSpec> RtcPeerConnection::negotiatedEncoder() const
{
    std::lock_guard lock(m_core->mutex);
    return m_core->spec;
}

std::optional<int> RtcPeerConnection::encoderBitrate() const
{
    std::lock_guard lock(m_core->mutex);
    if (!m_core->encoder || !m_core->spec) {
        return std::nullopt;
    }
    if (m_core->spec->encoder == u"x264enc"_s) {
        guint kbps = 0;
        g_object_get(m_core->encoder, "bitrate", &kbps, nullptr);
        return static_cast<int>(kbps) * 1000;
    }
    if (m_core->spec->encoder == u"openh264enc"_s) {
        guint bps = 0;
        g_object_get(m_core->encoder, "bitrate", &bps, nullptr);
        return static_cast<int>(bps);
    }
    gint bps = 0;
    g_object_get(m_core->encoder, "target-bitrate", &bps, nullptr);
    return bps;
}

RtcRtpTransceiver::RtcRtpTransceiver(std::weak_ptr<RtcPeerConnection::Core> core)
    : m_core(core)
    , m_sender(std::make_shared<RtcRtpSender>(core))
{}

bool RtcRtpTransceiver::setCodecPreferences(const std::vector<RtcCodecInfo>& codecs)
{
    auto core = m_core.lock();
    if (!core || codecs.empty()) {
        return false;
    }
    std::lock_guard lock(core->mutex);
    if (!core->transceiver) {
        return false;
    }
    GstCaps* caps = gst_caps_new_empty();
    core->preferences.clear();
    core->preferenceOrder.clear();
    int payloadType = firstPayloadType;
    for (const RtcCodecInfo& codec : codecs) {
        GstCaps* entry = core->preferenceCaps(payloadType, codec);
        gst_caps_append(caps, entry);
        core->preferences.emplace(payloadType, codec);
        core->preferenceOrder.push_back(payloadType);
        ++payloadType;
    }
    g_object_set(core->transceiver, "codec-preferences", caps, nullptr);
    gst_caps_unref(caps);
    return true;
}

RtcRtpSender::RtcRtpSender(std::weak_ptr<RtcPeerConnection::Core> core) : m_core(std::move(core))
{}

RtcRtpParameters RtcRtpSender::parameters() const
{
    auto core = m_core.lock();
    if (!core) {
        return {};
    }
    std::lock_guard lock(core->mutex);
    return core->parameters;
}

bool RtcRtpSender::setParameters(const RtcRtpParameters& parameters)
{
    auto core = m_core.lock();
    if (!core || parameters.encodings.empty()) {
        return false;
    }
    {
        std::lock_guard lock(core->mutex);
        core->parameters = parameters;
    }
    core->applyEncoderBitrate();
    return true;
}

RtcVideoSource::RtcVideoSource(std::weak_ptr<RtcPeerConnection::Core> core) : m_core(std::move(core))
{}

void RtcVideoSource::capturer(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time)
{
    if (auto core = m_core.lock()) {
        core->push(buffer, time);
    }
}
