#include "media/rtc/RtcStatistics.h"

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

using namespace Qt::StringLiterals;

namespace {

QString typeName(GstWebRTCStatsType type)
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

} // namespace

namespace RtcStatistics {

QString camelCase(const char* name)
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

RtcStatsReport report(const GstStructure* reply)
{
    RtcStatsReport report;
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
        parsed.type = typeName(type);
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
                parsed.values.insert(camelCase(name), converted);
            }
        }
        report.statistics.insert(id, parsed);
    }
    return report;
}

} // namespace RtcStatistics
