#include "media/rtc/RtcEncoderFactory.h"

#include "media/rtc/RtcEncoderTable.h"
#include "media/rtc/RtcRuntime.h"

#include <gst/gst.h>

using namespace Qt::StringLiterals;

bool RtcDefaultEncoderFactory::hasElement(const char* factory)
{
    RtcRuntime::init();
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
    if (RtcEncoderTable::forCodec(u"H264"_s, &hasElement)) {
        codecs.push_back({u"H264"_s,
                          {{u"profile-level-id"_s, u"42e01f"_s},
                           {u"level-asymmetry-allowed"_s, u"1"_s},
                           {u"packetization-mode"_s, u"1"_s}}});
        codecs.push_back({u"H264"_s,
                          {{u"profile-level-id"_s, u"42e01f"_s},
                           {u"level-asymmetry-allowed"_s, u"1"_s},
                           {u"packetization-mode"_s, u"0"_s}}});
    }
    if (RtcEncoderTable::forCodec(u"VP8"_s, &hasElement)) {
        codecs.push_back({u"VP8"_s, {}});
    }
    return codecs;
}

std::optional<RtcEncoderSpec> RtcDefaultEncoderFactory::createEncoder(const RtcCodecInfo& codec) const
{
    const RtcEncoderEntry* entry = RtcEncoderTable::forCodec(codec.name, &hasElement);
    if (!entry) {
        return std::nullopt;
    }
    QString profile;
    if (codec.name.compare(u"H264"_s, Qt::CaseInsensitive) == 0) {
        const QString profileIdc = codec.parameters.value(u"profile-level-id"_s).left(2).toLower();
        profile = profileIdc == u"64"_s   ? u"high"_s
                  : profileIdc == u"4d"_s ? u"main"_s
                                          : u"constrained-baseline"_s;
    }
    return RtcEncoderSpec{codec, QString::fromLatin1(entry->element), QString::fromLatin1(entry->payloader),
                          profile};
}
