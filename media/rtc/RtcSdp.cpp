#include "media/rtc/RtcSdp.h"

#include <QRegularExpression>

#include <gst/sdp/sdp.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

struct MessageFree {
    void operator()(GstSDPMessage* message) const { gst_sdp_message_free(message); }
};
using Message = std::unique_ptr<GstSDPMessage, MessageFree>;

Message parse(const QString& text)
{
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(text.toUtf8().constData(), &sdp) != GST_SDP_OK) {
        return nullptr;
    }
    return Message(sdp);
}

bool isVideo(const GstSDPMedia* media)
{
    return g_strcmp0(gst_sdp_media_get_media(media), "video") == 0;
}

bool hasAttribute(const GstSDPMedia* media, const char* key)
{
    for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
        if (g_strcmp0(gst_sdp_media_get_attribute(media, a)->key, key) == 0) {
            return true;
        }
    }
    return false;
}

QString valueOf(const GstSDPAttribute* attribute)
{
    return QString::fromUtf8(attribute->value ? attribute->value : "");
}

} // namespace

namespace RtcSdp {

QString withTrackName(const QString& offer, const QString& msid)
{
    Message sdp = msid.isEmpty() ? nullptr : parse(offer);
    if (!sdp) {
        return offer;
    }
    // webrtcbin writes the ids only on ssrc lines, and those come only with caps on the sink pad.
    const QByteArray value = msid.toUtf8();
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp.get()); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp.get(), m);
        if (!isVideo(media) || hasAttribute(media, "msid") || !hasAttribute(media, "sendonly")) {
            continue;
        }
        // The message's own media, which its API hands out read-only.
        gst_sdp_media_add_attribute(const_cast<GstSDPMedia*>(media), "msid", value.constData());
    }
    const QByteArray semantic = " WMS " + value.left(value.indexOf(' '));
    for (guint a = 0; a < gst_sdp_message_attributes_len(sdp.get()); ++a) {
        if (g_strcmp0(gst_sdp_message_get_attribute(sdp.get(), a)->key, "msid-semantic") == 0) {
            gst_sdp_message_remove_attribute(sdp.get(), a);
            break;
        }
    }
    gst_sdp_message_add_attribute(sdp.get(), "msid-semantic", semantic.constData());
    gchar* text = gst_sdp_message_as_text(sdp.get());
    const QString named = QString::fromUtf8(text);
    g_free(text);
    return named;
}

std::optional<PayloadCodec> negotiatedCodec(const QString& answer)
{
    const Message sdp = parse(answer);
    for (guint m = 0; sdp && m < gst_sdp_message_medias_len(sdp.get()); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp.get(), m);
        if (!isVideo(media) || gst_sdp_media_formats_len(media) == 0 || gst_sdp_media_get_port(media) == 0) {
            continue;
        }
        PayloadCodec chosen{QString::fromLatin1(gst_sdp_media_get_format(media, 0)).toInt(), {}};
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            const QString value = valueOf(attribute);
            if (value.section(u' ', 0, 0).toInt() != chosen.payloadType) {
                continue;
            }
            if (g_strcmp0(attribute->key, "rtpmap") == 0) {
                chosen.codec.name = value.section(u' ', 1).section(u'/', 0, 0);
            } else if (g_strcmp0(attribute->key, "fmtp") == 0) {
                chosen.codec.parameters = fmtpParameters(value.section(u' ', 1));
            }
        }
        return chosen;
    }
    return std::nullopt;
}

std::vector<QString> mediaIds(const QString& sdp)
{
    std::vector<QString> ids;
    const Message message = parse(sdp);
    for (guint m = 0; message && m < gst_sdp_message_medias_len(message.get()); ++m) {
        const gchar* mid =
            gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(message.get(), m), "mid");
        ids.push_back(QString::fromUtf8(mid ? mid : ""));
    }
    return ids;
}

std::optional<int> payloadTypeFor(const QString& offer, const QString& profileLevelId)
{
    const Message sdp = parse(offer);
    for (guint m = 0; sdp && m < gst_sdp_message_medias_len(sdp.get()); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp.get(), m);
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            if (g_strcmp0(attribute->key, "fmtp") == 0 &&
                valueOf(attribute).contains(u"profile-level-id="_s + profileLevelId)) {
                return valueOf(attribute).section(u' ', 0, 0).toInt();
            }
        }
    }
    return std::nullopt;
}

QString answeredCodec(const QString& answer, const QString& offer)
{
    const Message sdp = parse(answer);
    for (guint m = 0; sdp && m < gst_sdp_message_medias_len(sdp.get()); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp.get(), m);
        if (!isVideo(media) || gst_sdp_media_formats_len(media) == 0) {
            continue;
        }
        const QString payload = QString::fromUtf8(gst_sdp_media_get_format(media, 0));
        QString name;
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            if (g_strcmp0(attribute->key, "rtpmap") == 0 &&
                valueOf(attribute).section(u' ', 0, 0) == payload) {
                name = valueOf(attribute).section(u' ', 1).section(u'/', 0, 0);
            }
        }
        const auto profile =
            QRegularExpression(u"a=fmtp:"_s + payload + u" [^\\r]*profile-level-id=([0-9a-fA-F]{6})"_s)
                .match(offer);
        return profile.hasMatch() ? name + u' ' + profile.captured(1) : name;
    }
    return QString();
}

QStringList rtpmapNames(const QString& sdp)
{
    QStringList names;
    for (const QString& line : sdp.split(u"\r\n"_s)) {
        if (!line.startsWith(u"a=rtpmap:"_s)) {
            continue;
        }
        const QStringList fields = line.split(u' ', Qt::SkipEmptyParts);
        if (!fields.isEmpty()) {
            names.append(fields.last());
        }
    }
    return names;
}

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

} // namespace RtcSdp
