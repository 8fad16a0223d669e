#pragma once

#include "media/rtc/RtcTypes.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

// How to build the encoding branch for one negotiated codec: the elements and their settings.
struct RtcEncoderSpec {
    RtcCodecInfo codec;
    QString encoder;   // element factory, e.g. "x264enc"
    QString payloader; // element factory, e.g. "rtph264pay"
    // The profile the encoder is asked for (H.264: "constrained-baseline", "main", "high").
    QString profile;
};

// The library's side of video encoding: which codecs can be sent, and an encoder for one.
class RtcEncoderFactory {
public:
    virtual ~RtcEncoderFactory() = default;
    virtual std::vector<RtcCodecInfo> supportedCodecs() const = 0;
    virtual std::optional<RtcEncoderSpec> createEncoder(const RtcCodecInfo& codec) const = 0;
};

// The encoders this GStreamer installation has: H.264 with x264enc (or openh264enc), VP8 with vp8enc.
class RtcDefaultEncoderFactory final : public RtcEncoderFactory {
public:
    std::vector<RtcCodecInfo> supportedCodecs() const override;
    std::optional<RtcEncoderSpec> createEncoder(const RtcCodecInfo& codec) const override;

    static bool hasElement(const char* factory);
};
