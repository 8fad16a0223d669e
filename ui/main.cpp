#include "base/HelperLog.h"
#include "base/LaunchOptions.h"
#include "core/HelperModel.h"
#include "platform/LinuxPlatform.h"
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
    TerminationSignals termination([](int) { QCoreApplication::quit(); });
    HelperModel model(options, LinuxPlatform::build(QApplication::applicationFilePath()));

    // The desktop portal's colour scheme, where a session bus offers one.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    DesktopPalette palette;
    palette.follow(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") ||
                   (!runtime.isEmpty() && QFileInfo::exists(runtime + u"/bus"_s)));
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
