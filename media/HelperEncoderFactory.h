#pragma once

#include "media/rtc/RtcEncoderFactory.h"

#include <memory>
#include <vector>

// Puts H.264 first: the two entries the phone expects (Constrained High and Constrained Baseline,
// both level 5.2, packetization mode 1) replace the fallback's own H.264 entries, and the
// fallback's other codecs follow. Every H.264 encoder is built for level 5.2 with the negotiated
// profile kept.
class HelperEncoderFactory final : public RtcEncoderFactory {
public:
    explicit HelperEncoderFactory(std::unique_ptr<RtcEncoderFactory> fallback = nullptr);

    static const std::vector<RtcCodecInfo>& h264();
    // "profile-level-id" for level 5.2: the first four characters kept, else Constrained Baseline.
    static QString adjustedProfileLevelId(const std::optional<QString>& value);

    std::vector<RtcCodecInfo> supportedCodecs() const override;
    std::optional<RtcEncoderSpec> createEncoder(const RtcCodecInfo& codec) const override;

private:
    std::unique_ptr<RtcEncoderFactory> m_fallback;
};
