#include "media/HelperEncoderFactory.h"

using namespace Qt::StringLiterals;

namespace {

const QString h264Name = u"H264"_s;

} // namespace

HelperEncoderFactory::HelperEncoderFactory(std::unique_ptr<RtcEncoderFactory> fallback)
    : m_fallback(fallback ? std::move(fallback) : std::make_unique<RtcDefaultEncoderFactory>())
{}

const std::vector<RtcCodecInfo>& HelperEncoderFactory::h264()
{
    static const std::vector<RtcCodecInfo> entries = {
        {h264Name,
         {{u"profile-level-id"_s, u"640c34"_s},
          {u"level-asymmetry-allowed"_s, u"1"_s},
          {u"packetization-mode"_s, u"1"_s}}},
        {h264Name,
         {{u"profile-level-id"_s, u"42e034"_s},
          {u"level-asymmetry-allowed"_s, u"1"_s},
          {u"packetization-mode"_s, u"1"_s}}},
    };
    return entries;
}

QString HelperEncoderFactory::adjustedProfileLevelId(const std::optional<QString>& value)
{
    if (value && value->size() == 6) {
        return value->left(4) + u"34"_s;
    }
    return u"42e034"_s;
}

std::vector<RtcCodecInfo> HelperEncoderFactory::supportedCodecs() const
{
    std::vector<RtcCodecInfo> codecs = h264();
    for (const RtcCodecInfo& codec : m_fallback->supportedCodecs()) {
        if (codec.name != h264Name) {
            codecs.push_back(codec);
        }
    }
    return codecs;
}

std::optional<RtcEncoderSpec> HelperEncoderFactory::createEncoder(const RtcCodecInfo& codec) const
{
    if (codec.name != h264Name) {
        return m_fallback->createEncoder(codec);
    }
    RtcCodecInfo adjusted{h264Name, codec.parameters};
    const auto found = codec.parameters.find(u"profile-level-id"_s);
    adjusted.parameters.insert(
        u"profile-level-id"_s,
        adjustedProfileLevelId(found != codec.parameters.end() ? std::optional(*found) : std::nullopt));
    return m_fallback->createEncoder(adjusted);
}
