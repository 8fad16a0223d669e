#pragma once

#include "media/rtc/RtcTypes.h"

#include <gst/gst.h>

// webrtcbin's statistics as a report: one entry per structure of the reply, by its "id" (or its
// field name), with its type's standard name ("outbound-rtp") and its values under their
// standard names ("bytes-sent" as "bytesSent"); numbers as double, except int and enum values.
namespace RtcStatistics {

RtcStatsReport report(const GstStructure* reply);

// "bytes-sent" → "bytesSent".
QString camelCase(const char* name);

} // namespace RtcStatistics
