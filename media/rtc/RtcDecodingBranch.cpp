#include "media/rtc/RtcDecodingBranch.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <utility>

using namespace Qt::StringLiterals;

RtcDecodingBranch::RtcDecodingBranch(std::function<void(const RtcDecodedPicture&)> pictures)
{
    m_pictures.set(std::move(pictures));
}

void RtcDecodingBranch::padAdded(GstElement* pipeline, GstPad* pad)
{
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
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
    const QString description = vp8 ? u"rtpvp8depay ! vp8dec"_s : u"rtph264depay ! h264parse ! avdec_h264"_s;
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
    callbacks.new_sample = [](GstAppSink* appsink, gpointer data) {
        return onSample(GST_ELEMENT(appsink), data);
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, m_pictures.closureData(), [](gpointer data) {
        SignalGuard<const RtcDecodedPicture&>::destroyClosureData(data, nullptr);
    });
    gst_object_unref(sink);
    gst_bin_add(GST_BIN(pipeline), decode);
    gst_element_sync_state_with_parent(decode);
    GstPad* input = gst_element_get_static_pad(decode, "sink");
    gst_pad_link(pad, input);
    gst_object_unref(input);
    std::lock_guard lock(m_mutex);
    if (!m_video) {
        m_video = GST_ELEMENT(gst_object_ref(decode));
    }
}

GstFlowReturn RtcDecodingBranch::onSample(GstElement* sink, gpointer data)
{
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    if (!sample) {
        return GST_FLOW_OK;
    }
    RtcDecodedPicture picture;
    picture.decoded = std::chrono::steady_clock::now();
    GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    gst_structure_get_int(structure, "width", &picture.width);
    gst_structure_get_int(structure, "height", &picture.height);
    // RGB rows are padded to four bytes.
    picture.stride = ((picture.width * 3) + 3) & ~3;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        picture.rgb = map.data;
        SignalGuard<const RtcDecodedPicture&>::invoke(data, picture);
        gst_buffer_unmap(buffer, &map);
    } else {
        SignalGuard<const RtcDecodedPicture&>::invoke(data, picture);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void RtcDecodingBranch::requestKeyFrame()
{
    GstElement* decoder = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (!m_video) {
            return;
        }
        decoder = GST_ELEMENT(gst_object_ref(m_video));
    }
    if (GstPad* input = gst_element_get_static_pad(decoder, "sink")) {
        gst_pad_send_event(input, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(input);
    }
    gst_object_unref(decoder);
}

gpointer RtcDecodingBranch::close()
{
    m_pictures.set(nullptr);
    std::lock_guard lock(m_mutex);
    return std::exchange(m_video, nullptr);
}
