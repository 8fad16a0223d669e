#include "media/rtc/RtcRuntime.h"

#include <gst/gst.h>

#include <mutex>

namespace RtcRuntime {

void init()
{
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

} // namespace RtcRuntime
