// DNS-SD on the test machine's own avahi-daemon; keeping the display awake: the X screen saver on
// an Xvfb display and the screen-saver service on a session bus of the test's own (answered by a
// stand-in); the machine's name.
#include "base/HelperLog.h"
#include "core/DisplaySleepGroup.h"
#include "platform/avahi/AvahiAdvertiser.h"
#include "platform/dbus/ScreenSaverInhibitor.h"
#include "platform/x11/X11DisplaySleep.h"
#include "platform/x11/XcbReply.h"
#include "platform/xdg/MachineName.h"
#include "tests/support/Avahi.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"
#include "tests/support/Sanitizers.h"

#include <QDBusConnection>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <xcb/screensaver.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString type = u"_ovuhelper._tcp"_s;

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    uint inhibited = 0;
    QList<uint> released;
    int activity = 0;

public Q_SLOTS:
    uint Inhibit(const QString&, const QString&) { return 4000 + ++inhibited; }
    void UnInhibit(uint cookie) { released.append(cookie); }
    void SimulateUserActivity() { ++activity; }
};

} // namespace

// Waiting for an absent daemon at the start is an end-to-end test (tests/e2e).
TEST(AvahiAdvertiser, ATakenNameGivesWayAndALostDaemonIsRegisteredWithAgainUntilWithdrawn)
{
    Tests::Child holder;
    holder.start(u"avahi-publish"_s, {u"-s"_s, u"Anna’s Mac"_s, type, u"1111"_s});
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac"_s, 1111));
    AvahiAdvertiser advertiser;
    advertiser.advertise(u"Anna’s Mac"_s, type, 47813);
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac #2"_s, 47813));
    EXPECT_EQ(advertiser.registeredName(), u"Anna’s Mac #2"_s);
    holder.kill();
    Tests::runAvahiDaemon(false);
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"dns-sd: lost avahi-daemon"_s));
    Tests::runAvahiDaemon(true);
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac #2"_s, 47813, 15));
    advertiser.advertise(u"Anna’s Mac"_s, type, 40001);
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac"_s, 40001, 15)) << "advertising again moves the port";
    advertiser.withdraw();
    EXPECT_TRUE(Tests::waitUntil([&] { return Tests::browse().isEmpty(); }, 10s));
}

// The X server's own screen saver, set to start after one idle second on a display of its own,
// and the service on the bus.
TEST(DisplaySleep, TheSaverStaysOffWhileHeldAndAGroupReleasesExactlyWhatItHeld)
{
    if (Tests::threadSanitizer) {
        // Qt's D-Bus thread and libdbus synchronise by means the sanitizer cannot see (neither is
        // built with it); the inhibitor itself runs on the main thread only.
        GTEST_SKIP() << "QtDBus is not instrumented";
    }
    Tests::ExtraDisplay xvfb(8, u"640x480"_s);
    ASSERT_GT(xvfb.pid(), 0);
    xcb_connection_t* watch = xcb_connect(":8", nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(watch)).data->root;
    xcb_set_screen_saver(watch, 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_ALLOWED);
    const auto saverIsOn = [&] {
        const auto info = xcbReply(
            xcb_screensaver_query_info_reply(watch, xcb_screensaver_query_info(watch, root), nullptr));
        return info && info->state == XCB_SCREENSAVER_STATE_ON;
    };
    QTemporaryDir folder;
    const QString address = u"unix:path="_s + folder.filePath(u"bus"_s);
    Tests::Child daemon;
    daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--address="_s + address});
    ASSERT_TRUE(Tests::waitUntil([&] { return QFile::exists(folder.filePath(u"bus"_s)); }));
    const auto group = [&](const char* display, const QString& name) {
        std::vector<std::unique_ptr<DisplaySleep>> members;
        members.push_back(std::make_unique<X11DisplaySleep>(display));
        members.push_back(
            std::make_unique<ScreenSaverInhibitor>(QDBusConnection::connectToBus(address, name)));
        return DisplaySleepGroup(std::move(members));
    };
    // Without an X server (:39) and the service, or without a bus, nothing is held, and nothing
    // asked later.
    DisplaySleepGroup early = group(":39", u"early"_s);
    EXPECT_FALSE(early.hold());
    EXPECT_FALSE(
        ScreenSaverInhibitor(QDBusConnection::connectToBus(u"unix:path=/nonexistent"_s, u"none"_s)).hold());
    FakeScreenSaver saver;
    QDBusConnection service = QDBusConnection::connectToBus(address, u"service"_s);
    ASSERT_TRUE(
        service.registerObject(u"/org/freedesktop/ScreenSaver"_s, &saver, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService(u"org.freedesktop.ScreenSaver"_s));
    early.release();
    // Released before the service's answer came: withdrawn as soon as it comes.
    EXPECT_TRUE(early.hold()) << "the service holds though the X server cannot";
    early.release();
    EXPECT_TRUE(Tests::waitUntil([&] { return saver.released == QList<uint>{4001}; }));

    // Waking ends the saver; held, it stays off however long nothing happens; released, it comes on.
    DisplaySleepGroup sleep = group(":8", u"helper"_s);
    ASSERT_TRUE(Tests::waitUntil(saverIsOn));
    sleep.wake();
    EXPECT_FALSE(saverIsOn());
    EXPECT_TRUE(Tests::waitUntil([&] { return saver.activity == 1; }));
    ASSERT_TRUE(sleep.hold());
    Tests::spin(2500ms);
    EXPECT_FALSE(saverIsOn());
    sleep.release();
    EXPECT_TRUE(Tests::waitUntil(saverIsOn));
    EXPECT_TRUE(Tests::waitUntil([&] { return saver.released == QList<uint>{4001, 4002}; }));
    xcb_disconnect(watch);
}

TEST(MachineName, ThePrettyNameUnquotedElseTheHostNameElseMac)
{
    // What /etc/machine-info says, and the name chosen with the host name "workstation".
    const std::pair<QByteArray, QString> infos[] = {
        {"PRETTY_HOSTNAME=\"Anna's MacBook\"\n", u"Anna's MacBook"_s},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME='Büro “Nord”'\n", u"Büro “Nord”"_s},
        {"PRETTY_HOSTNAME=\"say \\\"hi\\\"\"", u"say \"hi\""_s},
        {"PRETTY_HOSTNAME=Plain\\ Name", u"Plain Name"_s},
        {"DEPLOYMENT=lab\n", u"workstation"_s},
        {"PRETTY_HOSTNAME=\n", u"workstation"_s}};
    QTemporaryDir folder;
    QFile file(folder.filePath(u"machine-info"_s));
    for (const auto& [info, name] : infos) {
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(info);
        file.close();
        EXPECT_EQ(MachineName::choose(file.fileName(), u"workstation"_s), name) << info.constData();
    }
    EXPECT_EQ(MachineName::choose(folder.filePath(u"none"_s), QString()), u"Mac"_s);
}

#include "PlatformTests.moc"
