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
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

bool welcomeShownBefore()
{
    return QSettings(u"OVU"_s, u"OVU Helper"_s).value(u"hasShownWelcome"_s, false).toBool();
}

// One launch of the application on a model with the given permissions; answers whether the
// welcome window came up.
bool launch(const QStringList& arguments, bool record, bool control, bool firstEver)
{
    if (firstEver) {
        QSettings(u"OVU"_s, u"OVU Helper"_s).remove(u"hasShownWelcome"_s);
    }
    const bool before = welcomeShownBefore();
    QSettings(u"OVU"_s, u"OVU Helper"_s).setValue(u"hasShownWelcome"_s, before);
    Tests::UiModel m(arguments);
    if (!firstEver) {
        QSettings(u"OVU"_s, u"OVU Helper"_s).setValue(u"hasShownWelcome"_s, true);
    }
    m.model.recordCheck = [record] { return record; };
    m.model.controlCheck = [control] { return control; };
    OVUHelperApp app(m.model);
    app.start();
    EXPECT_TRUE(welcomeShownBefore()) << "set at every launch";
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
    QTemporaryDir folder;
    EXPECT_FALSE(launch({u"-renderui"_s, folder.path()}, false, false, true));
    EXPECT_FALSE(launch({u"-autoallow"_s, u"-renderui"_s}, false, false, true)) << "without a folder too";
    EXPECT_FALSE(launch({u"-renderui"_s}, false, false, true));
}

TEST(Launch, TheWindowIsMadeOnceCentredAndThenKeepsItsPlace)
{
    Tests::UiModel m;
    OVUHelperApp app(m.model);
    app.start();
    QWidget* window = app.delegate.window();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), u"OVU Helper"_s);
    EXPECT_EQ(window->width(), 372);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(window->geometry().center().x() - screen.center().x()), 4);
    EXPECT_LE(std::abs(window->geometry().center().y() - screen.center().y()), 40);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    // "Done" hides it; the helper goes on.
    QTest::mouseClick(window->findChild<QPushButton*>(u"doneButton"_s), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    window->move(40, 30);
    EXPECT_FALSE(app.delegate.applicationShouldHandleReopen());
    EXPECT_EQ(app.delegate.window(), window) << "reused";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->pos(), QPoint(40, 30)) << "not centred again";
    window->close();
    EXPECT_FALSE(window->isVisible());
    app.delegate.showWindow();
    EXPECT_TRUE(window->isVisible());
}

TEST(Launch, SnapshotsAreWrittenInOrderAtTwiceThePointSizeAndTheHelperGoesOn)
{
    QTemporaryDir folder;
    Tests::UiModel m({u"-renderui"_s, folder.path()});
    m.model.devices().add(PairedDevice{u"A1"_s, u"Ana’s phone"_s, QByteArray(32, 'a'), {}});
    m.model.recordCheck = [] { return true; };
    m.model.controlCheck = [] { return true; };
    m.loginItem->enabled = true;
    OVUHelperApp app(m.model);
    app.start();
    EXPECT_FALSE(app.delegate.window());

    // The views as the snapshot mode saw them: at the start-up, with the permissions read (no
    // requests to grant them).
    PairingView pairing(u"Alex’s iPhone"_s, u"481 207"_s, [](bool) {});
    HelperPanel menu(m.model, m.model.devices());
    HelperWelcome welcome(m.model, [] {});
    EXPECT_FALSE(Tests::shown(Tests::child(menu, u"recordingBox"_s), menu));
    const std::vector<std::pair<QString, QSize>> expected = {{u"pairing.png"_s, pairing.size() * 2},
                                                             {u"menu.png"_s, menu.size() * 2},
                                                             {u"welcome.png"_s, welcome.size() * 2}};
    const QColor background = menu.palette().color(QPalette::Window);
    EXPECT_TRUE(Tests::waitUntil([&] { return m.model.server().isListening(); }));
    std::optional<std::filesystem::file_time_type> previous;
    for (const auto& [name, size] : expected) {
        const QString path = folder.filePath(name);
        const QImage image(path);
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        EXPECT_EQ(image.size(), size) << name.toStdString();
        const auto written = std::filesystem::last_write_time(path.toStdString());
        if (previous) {
            EXPECT_GT(written, *previous) << name.toStdString() << " comes after the one before";
        }
        previous = written;
    }
    EXPECT_EQ(pairing.width(), 420);
    EXPECT_EQ(menu.width(), 340);
    EXPECT_EQ(welcome.width(), 372);
    // The background fills the whole image.
    const QImage picture(folder.filePath(u"menu.png"_s));
    EXPECT_EQ(picture.pixelColor(0, 0), background);
    EXPECT_EQ(picture.pixelColor(picture.width() - 1, picture.height() - 1), background);
}

TEST(Launch, SnapshotsIntoAFolderThatCannotBeWrittenLeaveNothingAndNoMessage)
{
    QTemporaryDir folder;
    const QString missing = folder.filePath(u"not/there"_s);
    Tests::UiModel m({u"-renderui"_s, missing});
    OVUHelperApp app(m.model);
    app.start();
    EXPECT_FALSE(QDir(missing).exists());
    EXPECT_FALSE(m.model.message);
    EXPECT_TRUE(Tests::waitUntil([&] { return m.model.server().isListening(); }));
}

TEST(Launch, WithoutATrayTheLogSaysSoOnce)
{
    const QString line =
        u"tray: this desktop shows no tray icons; open OVU Helper again to bring its window back"_s;
    const qsizetype before = Tests::logMessages(HelperLog::path()).count(line);
    Tests::UiModel m({u"-autoallow"_s});
    OVUHelperApp app(m.model);
    app.start();
    app.start();
    EXPECT_EQ(Tests::logMessages(HelperLog::path()).count(line) - before, 1);
    EXPECT_EQ(app.traySymbol(), u"rectangle.on.rectangle"_s);
}
TEST(SingleInstance, ASecondLaunchReachesTheFirst)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"helper.socket"_s);
    SingleInstance first(path);
    EXPECT_FALSE(first.notifyRunning(200)) << "nobody runs yet";
    ASSERT_TRUE(first.listen());
    int reopened = 0;
    first.onReopen = [&] { ++reopened; };
    bool answered = false;
    std::thread second([&] { answered = SingleInstance(path).notifyRunning(); });
    EXPECT_TRUE(Tests::waitUntil([&] { return reopened == 1; }, 3s));
    second.join();
    EXPECT_TRUE(answered);

    // A socket left by a helper that was killed is taken over.
    SingleInstance stale(folder.filePath(u"stale.socket"_s));
    QFile leftover(folder.filePath(u"stale.socket"_s));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    EXPECT_TRUE(stale.listen());
}

TEST(SingleInstance, TheRealHelperLaunchedAgainEndsAndTheFirstGoesOn)
{
    Tests::Home home;
    Tests::HelperProcess first(home, {u"-autoallow"_s});
    ASSERT_EQ(first.waitUntilListening(), 47813);
    Tests::HelperProcess second(home);
    ASSERT_TRUE(second.process().wait(5s));
    EXPECT_EQ(second.process().exitCode(), 0);
    EXPECT_TRUE(first.process().isRunning());
    EXPECT_EQ(Tests::logMessages(home.logPath()).count(u"listening on port 47813"_s), 1);
}
