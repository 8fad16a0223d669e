#include "media/rtc/RtcEncoderFactory.h"

#include <gst/gst.h>

using namespace Qt::StringLiterals;

bool RtcDefaultEncoderFactory::hasElement(const char* factory)
{
    GstElementFactory* found = gst_element_factory_find(factory);
    if (!found) {
        return false;
    }
    gst_object_unref(found);
    return true;
}

std::vector<RtcCodecInfo> RtcDefaultEncoderFactory::supportedCodecs() const
{
    std::vector<RtcCodecInfo> codecs;
    if (hasElement("x264enc") || hasElement("openh264enc")) {
        codecs.push_back({u"H264"_s,
                          {{u"profile-level-id"_s, u"42e01f"_s},
                           {u"level-asymmetry-allowed"_s, u"1"_s},
                           {u"packetization-mode"_s, u"1"_s}}});
        codecs.push_back({u"H264"_s,
                          {{u"profile-level-id"_s, u"42e01f"_s},
                           {u"level-asymmetry-allowed"_s, u"1"_s},
                           {u"packetization-mode"_s, u"0"_s}}});
    }
    if (hasElement("vp8enc")) {
        codecs.push_back({u"VP8"_s, {}});
    }
    return codecs;
}

std::optional<RtcEncoderSpec> RtcDefaultEncoderFactory::createEncoder(const RtcCodecInfo& codec) const
{
    if (codec.name.compare(u"H264"_s, Qt::CaseInsensitive) == 0) {
        const QString encoder = hasElement("x264enc") ? u"x264enc"_s : u"openh264enc"_s;
        if (!hasElement(encoder.toLatin1().constData())) {
            return std::nullopt;
        }
        const QString profileIdc = codec.parameters.value(u"profile-level-id"_s).left(2).toLower();
        const QString profile = profileIdc == u"64"_s   ? u"high"_s
                                : profileIdc == u"4d"_s ? u"main"_s
                                                        : u"constrained-baseline"_s;
        return RtcEncoderSpec{codec, encoder, u"rtph264pay"_s, profile};
    }
    if (codec.name.compare(u"VP8"_s, Qt::CaseInsensitive) == 0 && hasElement("vp8enc")) {
        return RtcEncoderSpec{codec, u"vp8enc"_s, u"rtpvp8pay"_s, QString()};
    }
    return std::nullopt;
}
