#include "core/HelperLog.h"
#include "core/HelperModel.h"
#include "core/LaunchOptions.h"
#include "media/VideoSender.h"
#include "platform/avahi/AvahiAdvertiser.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/pulse/PulseSoundSource.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11DisplaySleep.h"
#include "platform/x11/XTestEventSink.h"
#include "platform/xdg/MachineName.h"
#include "platform/xdg/ScreenSaverInhibitor.h"
#include "platform/xdg/XdgAutostart.h"
#include "ui/DesktopPalette.h"
#include "ui/OVUHelperApp.h"
#include "ui/SingleInstance.h"
#include "ui/TerminationSignals.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(u"OVU"_s);
    QApplication::setApplicationName(u"OVU Helper"_s);
    QApplication::setApplicationVersion(QStringLiteral(OVU_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    // A second launch brings the running helper's window back and ends.
    SingleInstance instance;
    if (instance.notifyRunning()) {
        return 0;
    }
    const LaunchOptions options = LaunchOptions::parse(QApplication::arguments());
    VideoSender::setProcessOptions(options.inputLog, options.rtcLog);
    TerminationSignals termination([](int) { QCoreApplication::quit(); });

    auto backend =
        std::make_unique<X11CaptureBackend>(qgetenv("DISPLAY"), std::make_shared<PulseSoundSource>());
    X11CaptureBackend* capture = backend.get();
    auto eventSink = std::make_shared<XTestEventSink>();
    HelperModel model(options, MachineName::current(), std::make_unique<AvahiAdvertiser>(), nullptr,
                      std::make_unique<PulseAudioOutput>(), std::move(backend), eventSink);
    model.recordCheck = [capture] { return capture->isAvailable(); };
    model.controlCheck = [] { return XTestEventSink::isAvailable(); };
    model.input.doubleClickInterval = [eventSink] { return eventSink->doubleClickInterval(); };
    model.makeEventSource = [] { return std::make_shared<XTestEventSink>(); };
    // X11 has nothing to grant: what is missing is the X server's, so the panel says what, and
    // offers no button.
    model.recordingHelp = u"So this computer’s screen can be sent to your phone. OVU Helper needs the X "
                          u"display of your desktop with its RandR 1.5, DAMAGE and XFIXES extensions."_s;
    model.controlHelp = u"So the pointer and keyboard in OVU Desktop work on this computer. OVU Helper needs "
                        u"the X server’s XTEST extension; without it, the phone can only watch."_s;
    // The desktop's screen saver service lives on the session bus; without one there is nobody
    // to ask (and no D-Bus thread to start).
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool sessionBus = qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") ||
                            (!runtime.isEmpty() && QFileInfo::exists(runtime + u"/bus"_s));
    model.displaySleep = std::make_unique<X11DisplaySleep>(
        QByteArray(), sessionBus ? std::make_unique<ScreenSaverInhibitor>() : nullptr);
    model.loginItem = std::make_unique<XdgAutostart>(QApplication::applicationFilePath());

    DesktopPalette palette;
    palette.follow(sessionBus);
    OVUHelperApp helper(model);
    instance.onReopen = [&helper] { helper.delegate.applicationShouldHandleReopen(); };
    if (!instance.listen()) {
        HelperLog::write(u"cannot listen for later launches at "_s + SingleInstance::defaultPath());
    }
    QTimer::singleShot(0, &helper, [&helper] { helper.start(); });

    const int status = QApplication::exec();
    HelperLog::flush();
    return status;
}
