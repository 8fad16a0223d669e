// The application's launch: when the welcome window appears, the window being reused, the
// snapshot files, a second launch reaching the first, and a desktop without a tray.
#include "base/HelperLog.h"
#include "core/LinkServer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"
#include "tests/ui/UiFixture.h"
#include "ui/HelperPanel.h"
#include "ui/HelperWelcome.h"
#include "ui/OVUHelperApp.h"
#include "ui/PairingView.h"
#include "ui/SingleInstance.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// One launch on a model with these permissions; answers whether the welcome window came up.
bool launch(const QStringList& arguments, bool record, bool control, bool firstEver)
{
    Tests::UiModel m(arguments);
    QSettings(u"OVU"_s, u"OVU Helper"_s).setValue(u"hasShownWelcome"_s, !firstEver);
    m.desktop.record = record;
    m.desktop.control = control;
    OVUHelperApp app(m.model);
    app.start();
    EXPECT_TRUE(QSettings(u"OVU"_s, u"OVU Helper"_s).value(u"hasShownWelcome"_s).toBool())
        << "set at every launch";
    return app.delegate.window() && app.delegate.window()->isVisible();
}

} // namespace

TEST(Launch, TheWelcomeWindowComesFirstAndWhileAPermissionIsMissing)
{
    EXPECT_TRUE(launch({}, true, true, true)) << "the first launch ever, permissions or not";
    EXPECT_FALSE(launch({}, true, true, false));
    EXPECT_TRUE(launch({}, true, false, false));
    EXPECT_TRUE(launch({}, false, true, false));
    EXPECT_FALSE(launch({u"-autoallow"_s}, false, false, true));
    EXPECT_FALSE(launch({u"-renderui"_s}, false, false, true)) << "without a folder too";
}

TEST(Launch, WithoutATrayTheWelcomeWindowIsMadeOnceCentredHidesOnReturnAndThenKeepsItsPlace)
{
    const QString line =
        u"tray: this desktop shows no tray icons; open OVU Helper again to bring its window back"_s;
    const qsizetype before = Tests::logMessages(HelperLog::path()).count(line);
    Tests::UiModel m;
    OVUHelperApp app(m.model);
    app.start();
    app.start();
    EXPECT_EQ(Tests::logMessages(HelperLog::path()).count(line) - before, 1) << "said once";
    QWidget* window = app.delegate.window();
    ASSERT_TRUE(window);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(window->geometry().center().x() - screen.center().x()), 4);
    // The header over the whole panel. Off screen there is no tray: launching again is the way back.
    const auto* header = window->findChild<QWidget*>(u"welcomeHeader"_s);
    EXPECT_GE(window->height(), header->height() + window->findChild<HelperPanel*>()->height());
    EXPECT_TRUE(header->findChild<QLabel*>(u"welcomeExplanation"_s)->text().contains(u"no tray"_s));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_FALSE(window->isVisible()) << "Done hides it; the helper goes on";
    window->move(40, 30);
    EXPECT_FALSE(app.delegate.applicationShouldHandleReopen());
    EXPECT_EQ(app.delegate.window(), window) << "reused";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->pos(), QPoint(40, 30)) << "not centred again";
}

TEST(Launch, SnapshotsShowTheStateAsItIsInOrderAtTwiceThePointSize)
{
    QTemporaryDir folder;
    Tests::UiModel m({u"-renderui"_s, folder.path()});
    m.model.devices().add(PairedDevice{u"A1"_s, u"Ana’s phone"_s, QByteArray(32, 'a'), {}});
    OVUHelperApp app(m.model);
    app.start();
    // The views as the snapshot mode saw them.
    PairingView pairing(u"Alex’s iPhone"_s, u"481 207"_s, [](bool) {});
    HelperPanel menu(m.model, m.model.devices());
    HelperWelcome welcome(m.model, [] {});
    std::optional<std::filesystem::file_time_type> previous;
    for (const auto& [name, size] :
         std::vector<std::pair<QString, QSize>>{{u"pairing.png"_s, pairing.size() * 2},
                                                {u"menu.png"_s, menu.size() * 2},
                                                {u"welcome.png"_s, welcome.size() * 2}}) {
        const QString path = folder.filePath(name);
        EXPECT_EQ(QImage(path).size(), size) << name.toStdString();
        const auto written = std::filesystem::last_write_time(path.toStdString());
        EXPECT_TRUE(!previous || written > *previous) << name.toStdString() << " comes after the one before";
        previous = written;
    }
    const QImage picture(folder.filePath(u"menu.png"_s));
    EXPECT_EQ(picture.pixelColor(0, 0), menu.palette().color(QPalette::Window)) << "the background fills it";
    EXPECT_TRUE(Tests::waitUntil([&] { return m.model.server().isListening(); })) << "and the helper goes on";

    // Into a folder that cannot be written: nothing, and no message.
    Tests::UiModel other({u"-renderui"_s, folder.filePath(u"not/there"_s)});
    OVUHelperApp(other.model).start();
    EXPECT_FALSE(QDir(folder.filePath(u"not"_s)).exists() || other.model.message);
}

TEST(Launch, ASecondLaunchReachesTheFirstAndEndsAndAStaleSocketIsTakenOver)
{
    QTemporaryDir folder;
    SingleInstance running(folder.filePath(u"helper.socket"_s));
    ASSERT_TRUE(running.listen());
    int reopened = 0;
    running.onReopen = [&] { ++reopened; };
    std::thread again(
        [&] { EXPECT_TRUE(SingleInstance(folder.filePath(u"helper.socket"_s)).notifyRunning()); });
    EXPECT_TRUE(Tests::waitUntil([&] { return reopened == 1; }, 3s));
    again.join();

    // The real helper, where one that was killed left its socket.
    Tests::Home home;
    ASSERT_TRUE(QFile(home.folder.filePath(u"runtime/ovu-helper.socket"_s)).open(QIODevice::WriteOnly));
    Tests::HelperProcess first(home, {u"-autoallow"_s});
    ASSERT_EQ(first.waitUntilListening(), 47813);
    Tests::HelperProcess second(home);
    ASSERT_TRUE(second.wait(5s));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(first.isRunning());
    EXPECT_EQ(Tests::logMessages(home.logPath()).count(u"listening on port 47813"_s), 1);
}
