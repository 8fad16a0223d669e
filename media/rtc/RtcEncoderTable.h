#pragma once

#include "base/Result.h"

#include <QString>

#include <functional>
#include <optional>
#include <span>

typedef struct _GstElement GstElement;

// A property of an element and its value, as GStreamer parses it from text ("tune", "zerolatency").
struct RtcElementSetting {
    const char* name;
    const char* value;
};

// One video encoder element and how the sender drives it.
struct RtcEncoderEntry {
    const char* element;   // "x264enc"
    const char* codec;     // the codec's SDP name, "H264"
    const char* payloader; // "rtph264pay"
    // The encoder's output caps; the negotiated profile is added where the codec has one.
    const char* encodedCaps;
    // For zero-latency screen content.
    std::span<const RtcElementSetting> settings;
    std::span<const RtcElementSetting> payloaderSettings;
    // The target bitrate: the property, how many bits per second one of its units is, and its
    // smallest value.
    const char* bitrateProperty;
    int bitsPerUnit;
    int minimumBitrate;
    // Key frames are asked for with an upstream force-key-unit event sent into this pad; the
    // still-picture repeats watch the same pad.
    const char* keyFramePad;

    // The property's value for a bitrate in bits per second, and back.
    long long encoderBitrate(int bitsPerSecond) const;
    int bitsPerSecond(long long encoderValue) const;
};

// The encoders the sender knows, in order of preference for each codec.
namespace RtcEncoderTable {

const RtcEncoderEntry* find(const QString& element);
// The first entry for the codec (its name compared ignoring case) whose element is installed.
const RtcEncoderEntry* forCodec(const QString& codec,
                                const std::function<bool(const char* element)>& installed);

// Applies the entry's settings and bitrate to an encoder it made; fails on a property the
// element lacks.
Result<> configure(GstElement* encoder, const RtcEncoderEntry& entry, int bitsPerSecond);
Result<> configurePayloader(GstElement* payloader, const RtcEncoderEntry& entry);
Result<> setBitrate(GstElement* encoder, const RtcEncoderEntry& entry, int bitsPerSecond);
// The encoder's target bitrate in bits per second.
std::optional<int> bitrate(GstElement* encoder, const RtcEncoderEntry& entry);

} // namespace RtcEncoderTable
