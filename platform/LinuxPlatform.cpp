#include "platform/LinuxPlatform.h"

#include "base/HelperLog.h"
#include "core/DisplaySleepGroup.h"
#include "platform/avahi/AvahiAdvertiser.h"
#include "platform/dbus/ScreenSaverInhibitor.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/pulse/PulseSoundSource.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11DisplaySleep.h"
#include "platform/x11/XTestEventSink.h"
#include "platform/xdg/MachineName.h"
#include "platform/xdg/XdgAutostart.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

// Whether a session bus is there to ask: without one there is nobody to ask (and no D-Bus
// thread to start).
bool hasSessionBus()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") ||
           (!runtime.isEmpty() && QFileInfo::exists(runtime + u"/bus"_s));
}

} // namespace

namespace LinuxPlatform {

Platform build(const QString& program)
{
    Platform platform;
    platform.computerName = MachineName::current();
    platform.advertiser = std::make_unique<AvahiAdvertiser>();
    platform.sound = std::make_unique<PulseSoundSource>();
    platform.audioOutput = std::make_unique<PulseAudioOutput>();
    platform.loginItem = std::make_unique<XdgAutostart>(program);

    HelperLog::write(u"desktop: X11 (DISPLAY="_s + qEnvironmentVariable("DISPLAY") + u')');
    auto capture = std::make_unique<X11CaptureBackend>(qgetenv("DISPLAY"));
    X11CaptureBackend* x11 = capture.get();
    platform.capture = std::move(capture);
    platform.canRecord = [x11] { return x11->isAvailable(); };
    platform.canControl = [] { return XTestEventSink::isAvailable(); };
    auto sink = std::make_shared<XTestEventSink>();
    platform.doubleClickInterval = [sink] { return sink->doubleClickInterval(); };
    platform.eventSink = std::move(sink);
    platform.makeEventSink = [] { return std::make_shared<XTestEventSink>(); };
    std::vector<std::unique_ptr<DisplaySleep>> sleep;
    sleep.push_back(std::make_unique<X11DisplaySleep>());
    if (hasSessionBus()) {
        sleep.push_back(std::make_unique<ScreenSaverInhibitor>());
    }
    platform.displaySleep = std::make_unique<DisplaySleepGroup>(std::move(sleep));
    // X11 has nothing to grant: what is missing is the X server's, so the panel says what, and
    // offers no button.
    platform.recordingPage.help =
        u"So this computer’s screen can be sent to your phone. OVU Helper needs the X display of your "
        u"desktop with its RandR 1.5, DAMAGE and XFIXES extensions."_s;
    platform.controlPage.help =
        u"So the pointer and keyboard in OVU Desktop work on this computer. OVU Helper "
        u"needs the X server’s XTEST extension; without it, the phone can only watch."_s;
    return platform;
}

} // namespace LinuxPlatform
