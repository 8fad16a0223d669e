#include "media/rtc/RtcLogger.h"

#include "base/HelperLog.h"
#include "media/rtc/RtcRuntime.h"

#include <gst/gst.h>

#include <array>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

bool g_rtcLog = false;

// The categories that make up the WebRTC stack.
constexpr std::array categories = {"webrtc",  "nice",        "dtls",   "sctp", "rtp",
                                   "x264enc", "openh264enc", "vp8enc", "srtp"};

bool isRtcCategory(const char* name)
{
    for (const char* prefix : categories) {
        if (g_str_has_prefix(name, prefix)) {
            return true;
        }
    }
    return false;
}

void logFunction(GstDebugCategory* category, GstDebugLevel level, const gchar*, const gchar*, gint, GObject*,
                 GstDebugMessage* message, gpointer)
{
    const GstDebugLevel threshold = g_rtcLog ? GST_LEVEL_INFO : GST_LEVEL_WARNING;
    if (level > threshold || !isRtcCategory(gst_debug_category_get_name(category))) {
        return;
    }
    if (std::optional<QString> line =
            RtcLogger::lineFor(QString::fromUtf8(gst_debug_message_get(message)), g_rtcLog)) {
        HelperLog::write(*line);
    }
}

} // namespace

namespace RtcLogger {

std::optional<QString> lineFor(const QString& message, bool rtcLog)
{
    const QString trimmed = message.trimmed();
    if (rtcLog) {
        static const std::array keep = {u"264"_s, u"ncoder"_s, u"allback"_s, u"VideoToolbox"_s, u"codec"_s};
        if (std::none_of(keep.begin(), keep.end(),
                         [&](const QString& part) { return trimmed.contains(part); })) {
            return std::nullopt;
        }
    }
    return u"webrtc: "_s + trimmed.left(300);
}

// GStreamer's log-function macros compare a function pointer with a void pointer, which clang's
// pedantic mode rejects.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
void install(bool rtcLog)
{
    static std::once_flag once;
    std::call_once(once, [rtcLog] {
        RtcRuntime::init();
        g_rtcLog = rtcLog;
        // Our own sink replaces GStreamer's printing to stderr unless someone asked for that.
        if (qEnvironmentVariableIsEmpty("GST_DEBUG")) {
            gst_debug_remove_log_function(gst_debug_log_default);
            QString thresholds;
            for (const char* category : categories) {
                thresholds += QString::fromLatin1(category) + u"*:"_s + (rtcLog ? u"4,"_s : u"2,"_s);
            }
            gst_debug_set_threshold_from_string(thresholds.toLatin1().constData(), FALSE);
        }
        gst_debug_add_log_function(logFunction, nullptr, nullptr);
    });
}
#pragma GCC diagnostic pop

} // namespace RtcLogger
