#include "media/rtc/RtcEncodingBranch.h"

#include "base/HelperLog.h"
#include "media/rtc/RtcEncoderTable.h"
#include "media/rtc/RtcSdp.h"

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr int firstPayloadType = 96;
constexpr int defaultBitrate = 6'000'000;

} // namespace

RtcEncodingBranch::RtcEncodingBranch(std::shared_ptr<RtcEncoderFactory> encoders,
                                     RtcStillRepeater::Timer later)
    : m_encoders(std::move(encoders))
    , m_repeater(std::move(later))
{
    m_repeater.repeat = [this](const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time) {
        push(picture, time);
    };
    m_repeater.requestKeyFrame = [this] { requestKeyFrame(); };
}

bool RtcEncodingBranch::attach(GstElement* pipeline, GstElement* webrtc)
{
    // Requesting the sink pad makes its transceiver; it is then made send-only. (A transceiver
    // added first would not be the one the requested pad feeds.)
    GstPad* pad = gst_element_request_pad_simple(webrtc, "sink_%u");
    if (!pad) {
        return false;
    }
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(pad, "transceiver", &transceiver, nullptr);
    if (!transceiver) {
        gst_element_release_request_pad(webrtc, pad);
        gst_object_unref(pad);
        return false;
    }
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
    std::lock_guard lock(m_mutex);
    m_pipeline = pipeline;
    m_transceiver = transceiver;
    m_sinkPad = pad;
    return true;
}

GstCaps* RtcEncodingBranch::entryCaps(int payloadType, const RtcCodecInfo& codec)
{
    GstCaps* caps = gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                                        G_TYPE_STRING, codec.name.toUtf8().constData(), "payload", G_TYPE_INT,
                                        payloadType, "clock-rate", G_TYPE_INT, 90000, nullptr);
    GstStructure* structure = gst_caps_get_structure(caps, 0);
    for (auto it = codec.parameters.begin(); it != codec.parameters.end(); ++it) {
        gst_structure_set(structure, it.key().toUtf8().constData(), G_TYPE_STRING,
                          it.value().toUtf8().constData(), nullptr);
    }
    return caps;
}

bool RtcEncodingBranch::setCodecPreferences(const std::vector<RtcCodecInfo>& codecs)
{
    std::lock_guard lock(m_mutex);
    if (!m_transceiver || codecs.empty()) {
        return false;
    }
    GstCaps* caps = gst_caps_new_empty();
    m_preferences.clear();
    int payloadType = firstPayloadType;
    for (const RtcCodecInfo& codec : codecs) {
        gst_caps_append(caps, entryCaps(payloadType, codec));
        m_preferences.emplace(payloadType++, codec);
    }
    g_object_set(m_transceiver, "codec-preferences", caps, nullptr);
    gst_caps_unref(caps);
    return true;
}

RtcRtpParameters RtcEncodingBranch::parameters() const
{
    std::lock_guard lock(m_mutex);
    return m_parameters;
}

void RtcEncodingBranch::setParameters(const RtcRtpParameters& parameters)
{
    std::lock_guard lock(m_mutex);
    m_parameters = parameters;
    if (m_encoder && m_entry) {
        RtcEncoderTable::setBitrate(m_encoder, *m_entry,
                                    m_parameters.encodings.front().maxBitrateBps.value_or(defaultBitrate));
    }
}

void RtcEncodingBranch::build(const QString& answer)
{
    std::unique_lock lock(m_mutex);
    if (m_closed || m_appsrc || !m_sinkPad || !m_encoders) {
        return;
    }
    const auto negotiated = RtcSdp::negotiatedCodec(answer);
    if (!negotiated) {
        return;
    }
    const int payloadType = negotiated->payloadType;
    const auto offered = m_preferences.find(payloadType);
    // The negotiated codec is the offered entry of that payload type, with what the answer says
    // on top (an answer may leave out parameters such as the profile).
    RtcCodecInfo codec = offered != m_preferences.end() ? offered->second : negotiated->codec;
    for (auto it = negotiated->codec.parameters.begin(); it != negotiated->codec.parameters.end(); ++it) {
        codec.parameters.insert(it.key(), it.value());
    }
    const std::optional<RtcEncoderSpec> made = m_encoders->createEncoder(codec);
    const RtcEncoderEntry* entry = made ? RtcEncoderTable::find(made->encoder) : nullptr;
    if (!entry) {
        HelperLog::write(u"webrtc: no encoder for "_s + negotiated->codec.name);
        return;
    }
    GstElement* source = gst_element_factory_make("appsrc", nullptr);
    GstElement* encode = gst_element_factory_make(entry->element, nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* pay = gst_element_factory_make(entry->payloader, nullptr);
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
    g_object_set(source, "format", GST_FORMAT_TIME, "is-live", TRUE, "do-timestamp", FALSE, "block", FALSE,
                 "max-buffers", guint64(2), nullptr);
    gst_app_src_set_leaky_type(GST_APP_SRC(source), GST_APP_LEAKY_TYPE_DOWNSTREAM);
    // The encoder starts at a whole number of kbit/s.
    const int kbps =
        std::max(1, m_parameters.encodings.front().maxBitrateBps.value_or(defaultBitrate) / 1000);
    for (const Result<>& done : {RtcEncoderTable::configure(encode, *entry, kbps * 1000),
                                 RtcEncoderTable::configurePayloader(pay, *entry)}) {
        if (!done.ok()) {
            HelperLog::write(u"webrtc: "_s + done.error());
        }
    }
    GstCaps* encoded = gst_caps_new_empty_simple(entry->encodedCaps);
    if (!made->profile.isEmpty()) {
        gst_caps_set_simple(encoded, "profile", G_TYPE_STRING, made->profile.toUtf8().constData(), nullptr);
    }
    g_object_set(filter, "caps", encoded, nullptr);
    gst_caps_unref(encoded);
    g_object_set(pay, "pt", guint(payloadType), nullptr);
    // What reaches webrtcbin is the offered entry for this payload type, whatever the stream's
    // own headers say (rtph264pay knows levels only up to 5.1, x264 writes other constraint
    // flags): the answer was made against exactly that entry.
    GstCaps* rtpCaps =
        entryCaps(payloadType, offered != m_preferences.end() ? offered->second : negotiated->codec);
    g_object_set(setter, "caps", rtpCaps, "join", TRUE, "replace", FALSE, nullptr);
    gst_caps_unref(rtpCaps);

    gst_bin_add_many(GST_BIN(m_pipeline), source, encode, filter, pay, setter, nullptr);
    GstPad* setterSrc = gst_element_get_static_pad(setter, "src");
    const bool linked = gst_element_link_many(source, encode, filter, pay, setter, nullptr) &&
                        gst_pad_link(setterSrc, m_sinkPad) == GST_PAD_LINK_OK;
    gst_object_unref(setterSrc);
    if (!linked) {
        HelperLog::write(u"webrtc: cannot link the encoding branch for "_s + made->codec.name);
        return;
    }
    GstPad* encodedPad = gst_element_get_static_pad(encode, entry->keyFramePad);
    gst_pad_add_probe(
        encodedPad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            static_cast<std::atomic<std::uint64_t>*>(data)->fetch_add(1, std::memory_order_relaxed);
            return GST_PAD_PROBE_OK;
        },
        &m_encodedFrames, nullptr);
    // Key frames the viewer asks for (RTCP PLI and FIR arrive as this event) need a picture.
    gst_pad_add_probe(encodedPad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, &RtcEncodingBranch::onKeyFrameEvent,
                      this, nullptr);
    gst_object_unref(encodedPad);
    m_appsrc = source;
    m_encoder = encode;
    m_entry = entry;
    m_spec = made;
    lock.unlock();
    for (GstElement* element : {setter, pay, filter, encode, source}) {
        gst_element_sync_state_with_parent(element);
    }
}

GstPadProbeReturn RtcEncodingBranch::onKeyFrameEvent(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) {
        static_cast<RtcEncodingBranch*>(data)->m_repeater.keyFrameRequested();
    }
    return GST_PAD_PROBE_OK;
}

void RtcEncodingBranch::push(const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time)
{
    std::unique_lock lock(m_mutex);
    if (m_closed) {
        return;
    }
    m_repeater.offered(picture, time);
    if (!m_appsrc) {
        return;
    }
    // The frame-rate cap: pictures closer together than the interval are dropped (with 2 ms of
    // tolerance for the capture's own jitter).
    const int maxFramerate = m_parameters.encodings.front().maxFramerate.value_or(0);
    const std::chrono::nanoseconds lastPushed = m_repeater.lastPushed();
    if (maxFramerate > 0 && lastPushed.count() >= 0 &&
        time - lastPushed <
            std::chrono::nanoseconds(1'000'000'000 / maxFramerate) - std::chrono::milliseconds(2)) {
        return;
    }
    const GstClockTime base = gst_element_get_base_time(m_pipeline);
    if (base == GST_CLOCK_TIME_NONE || static_cast<GstClockTime>(time.count()) < base) {
        return;
    }
    if (picture->width() != m_capsWidth || picture->height() != m_capsHeight) {
        m_capsWidth = picture->width();
        m_capsHeight = picture->height();
        GstCaps* caps = gst_caps_new_simple(
            "video/x-raw", "format", G_TYPE_STRING, "NV12", "width", G_TYPE_INT, m_capsWidth, "height",
            G_TYPE_INT, m_capsHeight, "framerate", GST_TYPE_FRACTION, maxFramerate > 0 ? maxFramerate : 60, 1,
            "colorimetry", G_TYPE_STRING, "bt601", "interlace-mode", G_TYPE_STRING, "progressive", nullptr);
        gst_app_src_set_caps(GST_APP_SRC(m_appsrc), caps);
        gst_caps_unref(caps);
    }
    m_repeater.pushed(time);
    GstElement* source = GST_ELEMENT(gst_object_ref(m_appsrc));
    lock.unlock();
    pushBuffer(source, picture, time - std::chrono::nanoseconds(base));
    gst_object_unref(source);
}

// Wraps the picture without copying it: the buffer holds it until the encoder is done with it.
void RtcEncodingBranch::pushBuffer(GstElement* source, const std::shared_ptr<PixelBuffer>& picture,
                                   std::chrono::nanoseconds pts)
{
    auto* holder = new std::shared_ptr<PixelBuffer>(picture);
    GstBuffer* buffer = gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(picture->data()),
        static_cast<gsize>(picture->byteSize()), 0, static_cast<gsize>(picture->byteSize()), holder,
        [](gpointer data) { delete static_cast<std::shared_ptr<PixelBuffer>*>(data); });
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0, static_cast<gsize>(picture->lumaStride()) * picture->height()};
    gint strides[GST_VIDEO_MAX_PLANES] = {picture->lumaStride(), picture->chromaStride()};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12,
                                   static_cast<guint>(picture->width()),
                                   static_cast<guint>(picture->height()), 2, offsets, strides);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(pts.count());
    gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
}

void RtcEncodingBranch::requestKeyFrame()
{
    GstElement* target = nullptr;
    const char* padName = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (m_encoder) {
            target = GST_ELEMENT(gst_object_ref(m_encoder));
            padName = m_entry->keyFramePad;
        }
    }
    if (!target) {
        return;
    }
    // The event passes the pad's probe, which encodes the still picture again.
    if (GstPad* pad = gst_element_get_static_pad(target, padName)) {
        gst_pad_send_event(pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(pad);
    }
    gst_object_unref(target);
}

void RtcEncodingBranch::connected()
{
    m_repeater.connected();
}

void RtcEncodingBranch::addFigures(RtcStatsReport& report)
{
    std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t frames = m_encodedFrames.load(std::memory_order_relaxed);
    const double elapsed = std::chrono::duration<double>(now - m_countedAt).count();
    if (elapsed >= 0.5) {
        m_framesPerSecond = static_cast<double>(frames - m_countedFrames) / elapsed;
        m_countedFrames = frames;
        m_countedAt = now;
    }
    for (auto it = report.statistics.begin(); it != report.statistics.end(); ++it) {
        if (it->type != u"outbound-rtp"_s) {
            continue;
        }
        QVariantMap& values = it->values;
        if (!values.contains(u"kind"_s)) {
            values.insert(u"kind"_s, u"video"_s);
        }
        if (!m_spec) {
            continue;
        }
        values.insert(u"framesPerSecond"_s, m_framesPerSecond);
        values.insert(u"frameWidth"_s, m_capsWidth);
        values.insert(u"frameHeight"_s, m_capsHeight);
        values.insert(u"encoderImplementation"_s, m_spec->encoder);
    }
}

std::optional<RtcEncoderSpec> RtcEncodingBranch::spec() const
{
    std::lock_guard lock(m_mutex);
    return m_spec;
}

std::optional<int> RtcEncodingBranch::bitrate() const
{
    std::lock_guard lock(m_mutex);
    if (!m_encoder || !m_entry) {
        return std::nullopt;
    }
    return RtcEncoderTable::bitrate(m_encoder, *m_entry);
}

std::vector<gpointer> RtcEncodingBranch::close()
{
    m_repeater.close();
    std::lock_guard lock(m_mutex);
    m_closed = true;
    std::vector<gpointer> references;
    for (gpointer object :
         {gpointer(std::exchange(m_sinkPad, nullptr)), gpointer(std::exchange(m_transceiver, nullptr))}) {
        if (object) {
            references.push_back(object);
        }
    }
    m_pipeline = nullptr;
    m_appsrc = nullptr;
    m_encoder = nullptr;
    return references;
}
