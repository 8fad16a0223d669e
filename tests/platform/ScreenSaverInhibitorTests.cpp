// The screen saver request over a real D-Bus session bus of the test's own, answered by a stand-in
// for the desktop's screen saver service.
#include "platform/x11/X11DisplaySleep.h"
#include "platform/xdg/ScreenSaverInhibitor.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Sanitizers.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QList<std::pair<QString, QString>> inhibited;
    QList<uint> released;

public Q_SLOTS:
    uint Inhibit(const QString& application, const QString& reason)
    {
        inhibited.append({application, reason});
        return 4000 + static_cast<uint>(inhibited.size());
    }
    void UnInhibit(uint cookie) { released.append(cookie); }
};

struct SessionBus {
    QTemporaryDir folder;
    Tests::Child daemon;
    QString address;

    SessionBus()
    {
        address = u"unix:path="_s + folder.filePath(u"bus"_s);
        daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--address="_s + address});
        Tests::waitUntil([&] { return QFile::exists(folder.filePath(u"bus"_s)); }, 5s);
    }
    ~SessionBus() { daemon.kill(); }
};

} // namespace

TEST(ScreenSaverInhibitor, AsksTheServiceAndWithdrawsWithItsCookie)
{
    if (Tests::threadSanitizer) {
        // Qt's D-Bus connection thread and libdbus synchronise by means the sanitizer cannot see
        // (neither is built with it); the inhibitor itself runs on the main thread only.
        GTEST_SKIP() << "QtDBus is not instrumented";
    }
    SessionBus bus;
    QDBusConnection serviceSide = QDBusConnection::connectToBus(bus.address, u"screen-saver"_s);
    ASSERT_TRUE(serviceSide.isConnected());
    FakeScreenSaver saver;
    ASSERT_TRUE(serviceSide.registerObject(u"/org/freedesktop/ScreenSaver"_s, &saver,
                                           QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serviceSide.registerService(u"org.freedesktop.ScreenSaver"_s));

    ScreenSaverInhibitor inhibitor(QDBusConnection::connectToBus(bus.address, u"helper"_s));
    inhibitor.inhibit(u"OVU Helper"_s, u"OVU Desktop is showing this Mac"_s);
    inhibitor.inhibit(u"OVU Helper"_s, u"again"_s); // one request at a time
    ASSERT_TRUE(Tests::waitUntil([&] { return inhibitor.cookie().has_value(); }));
    EXPECT_EQ(*inhibitor.cookie(), 4001u);
    ASSERT_EQ(saver.inhibited.size(), 1);
    EXPECT_EQ(saver.inhibited[0], (std::pair{u"OVU Helper"_s, u"OVU Desktop is showing this Mac"_s}));
    inhibitor.uninhibit();
    EXPECT_FALSE(inhibitor.cookie());
    ASSERT_TRUE(Tests::waitUntil([&] { return !saver.released.isEmpty(); }));
    EXPECT_EQ(saver.released, QList<uint>{4001});

    // Withdrawn before the answer came: withdrawn as soon as it comes.
    inhibitor.inhibit(u"OVU Helper"_s, u"OVU Desktop is showing this Mac"_s);
    inhibitor.uninhibit();
    ASSERT_TRUE(Tests::waitUntil([&] { return saver.released.size() == 2; }));
    EXPECT_EQ(saver.released.last(), 4002u);
    EXPECT_FALSE(inhibitor.cookie());

    // Keeping an X display awake that cannot be reached holds nothing, the desktop's service
    // included: a failed hold is never released.
    {
        X11DisplaySleep nowhere(":39", std::make_unique<ScreenSaverInhibitor>(
                                           QDBusConnection::connectToBus(bus.address, u"x"_s)));
        EXPECT_FALSE(nowhere.hold());
        Tests::spin(200ms);
    }
    EXPECT_EQ(saver.inhibited.size(), 2);
    QDBusConnection::disconnectFromBus(u"x"_s);
    QDBusConnection::disconnectFromBus(u"helper"_s);
    QDBusConnection::disconnectFromBus(u"screen-saver"_s);
}

TEST(ScreenSaverInhibitor, WithoutTheServiceOrABusNothingHappens)
{
    if (Tests::threadSanitizer) {
        // Qt's D-Bus connection thread and libdbus synchronise by means the sanitizer cannot see
        // (neither is built with it); the inhibitor itself runs on the main thread only.
        GTEST_SKIP() << "QtDBus is not instrumented";
    }
    SessionBus bus;
    ScreenSaverInhibitor onBus(QDBusConnection::connectToBus(bus.address, u"lonely"_s));
    onBus.inhibit(u"OVU Helper"_s, u"reason"_s);
    Tests::spin(200ms);
    EXPECT_FALSE(onBus.cookie());
    onBus.uninhibit();
    ScreenSaverInhibitor nowhere(QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"none"_s));
    nowhere.inhibit(u"OVU Helper"_s, u"reason"_s);
    EXPECT_FALSE(nowhere.cookie());
    QDBusConnection::disconnectFromBus(u"lonely"_s);
    QDBusConnection::disconnectFromBus(u"none"_s);
}

#include "ScreenSaverInhibitorTests.moc"
