#include "base/HelperLog.h"
#include "phone/ServiceBrowser.h"
#include "platform/avahi/AvahiAdvertiser.h"
#include "tests/support/Avahi.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"

#include <QHostAddress>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString type = u"_ovuhelper._tcp"_s;

} // namespace

TEST(AvahiAdvertiser, ServiceIsSeenWithItsNameAndPort)
{
    AvahiAdvertiser advertiser;
    advertiser.advertise(u"Anna’s Mac Studio"_s, type, 47813);
    ASSERT_TRUE(Tests::waitForService(u"Anna’s Mac Studio"_s, 47813));
    EXPECT_TRUE(
        Tests::waitForLogLine(HelperLog::path(), u"dns-sd: advertising Anna’s Mac Studio on port 47813"_s));

    // The phone's browser finds it too, at an address it can connect to.
    ServiceBrowser browser;
    QList<ServiceBrowser::Service> found;
    browser.onFound = [&](const ServiceBrowser::Service& service) { found.append(service); };
    ASSERT_TRUE(browser.browse(type));
    ASSERT_TRUE(Tests::waitUntil([&] { return !found.isEmpty(); }));
    EXPECT_EQ(found[0].name, u"Anna’s Mac Studio"_s);
    EXPECT_EQ(found[0].port, 47813);
    EXPECT_TRUE(QHostAddress(found[0].address).isLoopback()) << found[0].address.toStdString();

    advertiser.withdraw();
    ASSERT_TRUE(Tests::waitUntil([&] { return Tests::browse().isEmpty(); }, 10s));
}

TEST(AvahiAdvertiser, ReadvertisingMovesThePort)
{
    AvahiAdvertiser advertiser;
    advertiser.advertise(u"Mover"_s, type, 40000);
    ASSERT_TRUE(Tests::waitForService(u"Mover"_s, 40000));
    advertiser.advertise(u"Mover"_s, type, 40001);
    ASSERT_TRUE(Tests::waitForService(u"Mover"_s, 40001));
}

TEST(AvahiAdvertiser, TakenNameGivesWayToTheAlternative)
{
    Tests::Child holder;
    holder.start(u"avahi-publish"_s, {u"-s"_s, u"Busy Mac"_s, type, u"1111"_s});
    ASSERT_TRUE(Tests::waitForService(u"Busy Mac"_s, 1111));
    AvahiAdvertiser advertiser;
    advertiser.advertise(u"Busy Mac"_s, type, 47813);
    ASSERT_TRUE(Tests::waitForService(u"Busy Mac #2"_s, 47813));
    EXPECT_EQ(advertiser.registeredName(), u"Busy Mac #2"_s);
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(),
                                      u"dns-sd: the name Busy Mac is taken; advertising as Busy Mac #2"_s));
    holder.kill();
}

TEST(AvahiAdvertiser, DaemonRestartRegistersAgain)
{
    AvahiAdvertiser advertiser;
    advertiser.advertise(u"Restarting Mac"_s, type, 47813);
    ASSERT_TRUE(Tests::waitForService(u"Restarting Mac"_s, 47813));
    Tests::stopAvahiDaemon();
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"dns-sd: lost avahi-daemon"_s));
    Tests::startAvahiDaemon();
    ASSERT_TRUE(Tests::waitForService(u"Restarting Mac"_s, 47813, 15));
}

TEST(AvahiAdvertiser, AbsentDaemonIsWaitedFor)
{
    Tests::stopAvahiDaemon();
    AvahiAdvertiser advertiser;
    advertiser.advertise(u"Patient Mac"_s, type, 47813);
    EXPECT_TRUE(
        Tests::waitForLogLine(HelperLog::path(), u"dns-sd: waiting for avahi-daemon; still listening"_s));
    Tests::startAvahiDaemon();
    ASSERT_TRUE(Tests::waitForService(u"Patient Mac"_s, 47813, 15));
}

// libdbus reads the bus address once per process: a helper without any system bus is an
// end-to-end test (tests/e2e).

TEST(ServiceBrowser, MissingDaemonIsAFailure)
{
    Tests::stopAvahiDaemon();
    ServiceBrowser browser;
    std::optional<QString> failure;
    browser.onFailure = [&](const QString& error) { failure = error; };
    EXPECT_FALSE(browser.browse(type));
    EXPECT_TRUE(failure.has_value());
    Tests::startAvahiDaemon();
}
