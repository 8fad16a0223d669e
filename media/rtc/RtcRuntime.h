#pragma once

// GStreamer, started once for the process by whoever needs it first.
namespace RtcRuntime {

void init();

} // namespace RtcRuntime
