// DNS-SD on the test machine's own avahi-daemon, the screen-saver service on a session bus of the
// test's own (answered by a stand-in), and the machine's name.
#include "base/HelperLog.h"
#include "core/DisplaySleepGroup.h"
#include "platform/avahi/AvahiAdvertiser.h"
#include "platform/dbus/ScreenSaverInhibitor.h"
#include "platform/x11/X11DisplaySleep.h"
#include "platform/xdg/MachineName.h"
#include "tests/support/Avahi.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Sanitizers.h"

#include <QDBusConnection>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString type = u"_ovuhelper._tcp"_s;

bool logged(const QString& line)
{
    return Tests::waitForLogLine(HelperLog::path(), line);
}

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QStringList requests;
    QList<uint> released;
    int activity = 0;

public Q_SLOTS:
    uint Inhibit(const QString& who, const QString& why)
    {
        return 4000 + uint((requests << who + u": "_s + why).size());
    }
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
    EXPECT_TRUE(logged(u"dns-sd: the name Anna’s Mac is taken; advertising as Anna’s Mac #2"_s));
    EXPECT_TRUE(logged(u"dns-sd: advertising Anna’s Mac #2 on port 47813"_s));
    holder.kill();
    Tests::stopAvahiDaemon();
    EXPECT_TRUE(logged(u"dns-sd: lost avahi-daemon"_s));
    Tests::startAvahiDaemon();
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac #2"_s, 47813, 15));
    advertiser.advertise(u"Anna’s Mac"_s, type, 40001);
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac"_s, 40001, 15)) << "advertising again moves the port";
    advertiser.withdraw();
    EXPECT_TRUE(Tests::waitUntil([&] { return Tests::browse().isEmpty(); }, 10s));
}

TEST(ScreenSaver, AGroupHoldsWhatCanBeHeldAndReleasesExactlyThat)
{
    if (Tests::threadSanitizer) {
        // Qt's D-Bus thread and libdbus synchronise by means the sanitizer cannot see (neither is
        // built with it); the inhibitor itself runs on the main thread only.
        GTEST_SKIP() << "QtDBus is not instrumented";
    }
    QTemporaryDir folder;
    const QString address = u"unix:path="_s + folder.filePath(u"bus"_s);
    Tests::Child daemon;
    daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--address="_s + address});
    ASSERT_TRUE(Tests::waitUntil([&] { return QFile::exists(folder.filePath(u"bus"_s)); }));
    const auto group = [&](const QString& name) {
        std::vector<std::unique_ptr<DisplaySleep>> members;
        members.push_back(std::make_unique<X11DisplaySleep>(":39")); // no X server: never holds
        members.push_back(
            std::make_unique<ScreenSaverInhibitor>(QDBusConnection::connectToBus(address, name)));
        return DisplaySleepGroup(std::move(members));
    };
    // Without the service, or without a bus, nothing is held, and nothing asked later.
    DisplaySleepGroup early = group(u"early"_s);
    EXPECT_FALSE(early.hold());
    EXPECT_FALSE(
        ScreenSaverInhibitor(QDBusConnection::connectToBus(u"unix:path=/nonexistent"_s, u"none"_s)).hold());
    FakeScreenSaver saver;
    QDBusConnection service = QDBusConnection::connectToBus(address, u"service"_s);
    ASSERT_TRUE(
        service.registerObject(u"/org/freedesktop/ScreenSaver"_s, &saver, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService(u"org.freedesktop.ScreenSaver"_s));
    early.release();

    DisplaySleepGroup sleep = group(u"helper"_s);
    EXPECT_TRUE(sleep.hold()) << "the service holds though the X server cannot";
    sleep.wake();
    EXPECT_TRUE(Tests::waitUntil([&] { return saver.activity == 1; }));
    sleep.release();
    EXPECT_TRUE(Tests::waitUntil([&] { return saver.released == QList<uint>{4001}; }));
    // Released before the answer came: withdrawn as soon as it comes.
    EXPECT_TRUE(sleep.hold());
    sleep.release();
    EXPECT_TRUE(Tests::waitUntil([&] { return saver.released == QList<uint>{4001, 4002}; }));
    EXPECT_EQ(saver.requests, QStringList(2, u"OVU Helper: OVU Desktop is showing this Mac"_s));
    for (const QString& name : {u"early"_s, u"none"_s, u"service"_s, u"helper"_s}) {
        QDBusConnection::disconnectFromBus(name);
    }
}

TEST(MachineName, ThePrettyNameUnquotedElseTheHostNameElseMac)
{
    const std::pair<QByteArray, QString> infos[] = {
        {"PRETTY_HOSTNAME=\"Anna's MacBook\"\n", u"Anna's MacBook"_s},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME='Büro PC'\n", u"Büro PC"_s},
        {"PRETTY_HOSTNAME=\"say \\\"hi\\\"\"", u"say \"hi\""_s},
        {"PRETTY_HOSTNAME=Plain\\ Name", u"Plain Name"_s},
        {"DEPLOYMENT=lab\n", QString()},
        {"PRETTY_HOSTNAME=\n", QString()}};
    for (const auto& [info, name] : infos) {
        EXPECT_EQ(MachineName::prettyHostName(info), name) << info.constData();
    }
    QTemporaryDir folder;
    QFile info(folder.filePath(u"machine-info"_s));
    EXPECT_EQ(MachineName::choose(info.fileName(), u"workstation"_s), u"workstation"_s);
    EXPECT_EQ(MachineName::choose(info.fileName(), QString()), u"Mac"_s);
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    info.write("PRETTY_HOSTNAME=\"Studio “Nord”\"\n");
    info.close();
    EXPECT_EQ(MachineName::choose(info.fileName(), u"workstation"_s), u"Studio “Nord”"_s);
    if (!QFile::exists(u"/etc/machine-info"_s)) {
        EXPECT_EQ(MachineName::current(), u"ovu-test-host"_s)
            << "the name tests/env/isolate gives its machine";
    }
}

#include "PlatformTests.moc"
