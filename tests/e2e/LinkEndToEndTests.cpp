#include "tests/support/Avahi.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::HelperProcess;
using Tests::Home;
using Tests::runPhone;

TEST(LinkEndToEnd, APhoneSaysWhyItCannotConnectThenPairsOnceFindsTheHelperAndComesBackKnown)
{
    const QString machine = u"ovu-test-host"_s;
    Home helperHome;
    Home phoneHome;
    // Before the helper runs; and with a command short of its target.
    const auto early = runPhone(phoneHome, {u"connect"_s, u"127.0.0.1"_s});
    EXPECT_EQ(early.exitCode, 1);
    EXPECT_TRUE(early.err.contains(u"cannot connect to 127.0.0.1:47813: Connection refused"_s))
        << early.err.toStdString();
    HelperProcess helper(helperHome, {u"-autoallow"_s});
    ASSERT_EQ(helper.waitUntilListening(), 47813);
    const auto pair = runPhone(phoneHome, {u"pair"_s, u"127.0.0.1"_s, u"--name"_s, u"E2E Phone"_s});
    ASSERT_EQ(pair.exitCode, 0) << pair.err.toStdString();
    EXPECT_TRUE(pair.out.contains(u"paired with "_s + machine));
    // The code the phone showed is the one the helper was asked with.
    const QString code = pair.out.section(u"code: "_s, 1, 1).left(6);
    EXPECT_TRUE(
        Tests::waitForLogLine(helperHome.logPath(), u"pairing with E2E Phone, code "_s + code + u": "_s))
        << pair.out.toStdString();

    ASSERT_TRUE(Tests::waitForService(machine, 47813));
    const QStringList found =
        runPhone(phoneHome, {u"discover"_s, u"--seconds"_s, u"2"_s}).out.section(u'\n', 0, 0).split(u'\t');
    EXPECT_EQ(found.value(0) + u' ' + found.value(2), machine + u" 47813"_s) << "name and port";

    EXPECT_EQ(runPhone(phoneHome, {u"connect"_s, u"localhost"_s, u"--seconds"_s, u"1"_s}).exitCode, 0);
    ASSERT_TRUE(Tests::waitUntil(
        [&] { return Tests::logMessages(helperHome.logPath()).count(u"E2E Phone connected"_s) == 2; }));
    EXPECT_EQ(Tests::logMessages(helperHome.logPath()).filter(u"pairing"_s).size(), 1)
        << "proved without pairing";
}

// libdbus reads the bus address once per process: only a helper of its own can have none.
TEST(LinkEndToEnd, WithoutASystemBusTheHelperSaysSoOnceAndServesPhones)
{
    Home helperHome;
    helperHome.environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                                  u"unix:path="_s + helperHome.folder.path() + u"/no"_s);
    HelperProcess helper(helperHome, {u"-autoallow"_s});
    ASSERT_EQ(helper.waitUntilListening(), 47813);
    EXPECT_EQ(runPhone(Home(), {u"pair"_s, u"127.0.0.1"_s}).exitCode, 0);
    Tests::spin(5500ms); // through the retries
    EXPECT_EQ(Tests::logMessages(helperHome.logPath()).filter(u"dns-sd: cannot reach avahi-daemon"_s).size(),
              1);
}
