#include "media/rtc/RtcEncoderTable.h"

#include <gst/gst.h>

#include <algorithm>
#include <array>

using namespace Qt::StringLiterals;

namespace {

constexpr std::array x264Settings{
    RtcElementSetting{"tune", "zerolatency"}, RtcElementSetting{"speed-preset", "ultrafast"},
    RtcElementSetting{"key-int-max", "120"}, RtcElementSetting{"vbv-buf-capacity", "200"}};
constexpr std::array openh264Settings{RtcElementSetting{"gop-size", "120"}};
constexpr std::array vp8Settings{RtcElementSetting{"deadline", "1"},
                                 RtcElementSetting{"keyframe-max-dist", "120"},
                                 RtcElementSetting{"cpu-used", "8"}};
// Parameter sets with every key frame, and each packet sent as soon as it is made.
constexpr std::array h264PayloaderSettings{RtcElementSetting{"config-interval", "-1"},
                                           RtcElementSetting{"aggregate-mode", "zero-latency"}};

constexpr std::array entries{
    RtcEncoderEntry{"x264enc", "H264", "rtph264pay", "video/x-h264", x264Settings, h264PayloaderSettings,
                    "bitrate", 1000, 1, "src"},
    RtcEncoderEntry{"openh264enc", "H264", "rtph264pay", "video/x-h264", openh264Settings,
                    h264PayloaderSettings, "bitrate", 1, 0, "src"},
    RtcEncoderEntry{
        "vp8enc", "VP8", "rtpvp8pay", "video/x-vp8", vp8Settings, {}, "target-bitrate", 1, 0, "src"},
};

Result<> set(GstElement* element, const char* name, const char* value)
{
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(element), name)) {
        return Failure{u"%1 has no property %2"_s.arg(QString::fromUtf8(GST_OBJECT_NAME(element)),
                                                      QString::fromUtf8(name))};
    }
    gst_util_set_object_arg(G_OBJECT(element), name, value);
    return {};
}

Result<> setAll(GstElement* element, std::span<const RtcElementSetting> settings)
{
    for (const RtcElementSetting& setting : settings) {
        if (Result<> done = set(element, setting.name, setting.value); !done.ok()) {
            return done;
        }
    }
    return {};
}

} // namespace

long long RtcEncoderEntry::encoderBitrate(int bitsPerSecond) const
{
    return std::max<long long>(minimumBitrate, bitsPerSecond / bitsPerUnit);
}

int RtcEncoderEntry::bitsPerSecond(long long encoderValue) const
{
    return static_cast<int>(encoderValue * bitsPerUnit);
}

namespace RtcEncoderTable {

const RtcEncoderEntry* find(const QString& element)
{
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const RtcEncoderEntry& entry) {
        return element == QLatin1StringView(entry.element);
    });
    return found != entries.end() ? &*found : nullptr;
}

const RtcEncoderEntry* forCodec(const QString& codec, const std::function<bool(const char*)>& installed)
{
    for (const RtcEncoderEntry& entry : entries) {
        if (codec.compare(QLatin1StringView(entry.codec), Qt::CaseInsensitive) == 0 &&
            installed(entry.element)) {
            return &entry;
        }
    }
    return nullptr;
}

Result<> configure(GstElement* encoder, const RtcEncoderEntry& entry, int bitsPerSecond)
{
    if (Result<> done = setAll(encoder, entry.settings); !done.ok()) {
        return done;
    }
    return setBitrate(encoder, entry, bitsPerSecond);
}

Result<> configurePayloader(GstElement* payloader, const RtcEncoderEntry& entry)
{
    return setAll(payloader, entry.payloaderSettings);
}

Result<> setBitrate(GstElement* encoder, const RtcEncoderEntry& entry, int bitsPerSecond)
{
    return set(encoder, entry.bitrateProperty,
               QByteArray::number(entry.encoderBitrate(bitsPerSecond)).constData());
}

std::optional<int> bitrate(GstElement* encoder, const RtcEncoderEntry& entry)
{
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), entry.bitrateProperty)) {
        return std::nullopt;
    }
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_INT64);
    g_object_get_property(G_OBJECT(encoder), entry.bitrateProperty, &value);
    const gint64 units = g_value_get_int64(&value);
    g_value_unset(&value);
    return entry.bitsPerSecond(units);
}

} // namespace RtcEncoderTable
