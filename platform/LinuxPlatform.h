#pragma once

#include "core/Platform.h"

// The composition point: finds out which desktop this process runs on and builds the backends
// for it, saying once in the log which were chosen and why.
namespace LinuxPlatform {

// An X11 session: RandR/XShm/XDamage capture, XTest input, the X screen saver and DPMS (with the
// desktop's screen-saver service when the session bus has one), PulseAudio sound, Avahi, the
// XDG autostart entry starting `program`.
Platform build(const QString& program);

} // namespace LinuxPlatform
