#include "tests/support/Avahi.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::HelperProcess;
using Tests::Home;
using Tests::runPhone;

namespace {

const QString machine = u"ovu-test-host"_s;

QString codeIn(const QString& out)
{
    const auto match =
        QRegularExpression(u"^code: (\\d{6})$"_s, QRegularExpression::MultilineOption).match(out);
    return match.hasMatch() ? match.captured(1) : QString();
}

int countLines(const Home& home, const QString& message)
{
    return static_cast<int>(Tests::logMessages(home.logPath()).count(message));
}

} // namespace

TEST(LinkEndToEnd, APhonePairsOnceFindsTheHelperAndComesBackKnown)
{
    Home helperHome;
    Home phoneHome;
    HelperProcess helper(helperHome, {u"-autoallow"_s});
    ASSERT_EQ(helper.waitUntilListening(), 47813);
    const auto pair = runPhone(phoneHome, {u"pair"_s, u"127.0.0.1"_s, u"--name"_s, u"E2E Phone"_s});
    ASSERT_EQ(pair.exitCode, 0) << pair.err.toStdString();
    const QString code = codeIn(pair.out);
    ASSERT_EQ(code.size(), 6) << pair.out.toStdString();
    EXPECT_TRUE(pair.out.contains(u"paired with "_s + machine));
    EXPECT_TRUE(Tests::waitForLogLine(helperHome.logPath(), u"pairing with E2E Phone, code "_s + code +
                                                                u": allowed by -autoallow"_s));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(helperHome.dataFolder() + u"/paired.json"_s).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "stored privately";

    ASSERT_TRUE(Tests::waitForService(machine, 47813));
    const auto discover = runPhone(phoneHome, {u"discover"_s, u"--seconds"_s, u"2"_s});
    const QStringList row = discover.out.section(u'\n', 0, 0).split(u'\t');
    ASSERT_EQ(row.size(), 4) << discover.out.toStdString();
    EXPECT_EQ(row[0], machine);
    EXPECT_EQ(row[2], u"47813"_s);

    const auto connect = runPhone(phoneHome, {u"connect"_s, u"localhost"_s, u"--seconds"_s, u"1"_s});
    EXPECT_EQ(connect.exitCode, 0) << connect.err.toStdString();
    ASSERT_TRUE(Tests::waitUntil([&] { return countLines(helperHome, u"E2E Phone connected"_s) == 2; }));
    EXPECT_EQ(Tests::logMessages(helperHome.logPath()).filter(u"pairing"_s).size(), 1)
        << "proved without pairing";
    EXPECT_EQ(helper.terminate(2000), 0) << "SIGTERM ends it cleanly";
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, 47813);
    EXPECT_FALSE(probe.waitForConnected(500));
}

TEST(LinkEndToEnd, TheHelperListensWhateverDNSSDDoesAndAdvertisesOnceItCan)
{
    {
        // A taken port: another one, advertised.
        QTcpServer squatter;
        ASSERT_TRUE(squatter.listen(QHostAddress::Any, 47813));
        Home helperHome;
        HelperProcess helper(helperHome, {u"-autoallow"_s});
        const quint16 port = helper.waitUntilListening();
        ASSERT_NE(port, 0);
        EXPECT_NE(port, 47813);
        EXPECT_TRUE(Tests::waitForService(machine, port));
    }
    {
        // No system bus at all: said once, not at every retry.
        Home helperHome;
        Home phoneHome;
        helperHome.environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                                      u"unix:path="_s + helperHome.folder.path() + u"/no"_s);
        HelperProcess helper(helperHome, {u"-autoallow"_s});
        ASSERT_EQ(helper.waitUntilListening(), 47813);
        EXPECT_EQ(runPhone(phoneHome, {u"pair"_s, u"127.0.0.1"_s}).exitCode, 0);
        Tests::spin(5500ms);
        EXPECT_EQ(
            Tests::logMessages(helperHome.logPath()).filter(u"dns-sd: cannot reach avahi-daemon"_s).size(),
            1);
    }
    // No avahi-daemon: waited for, and advertised once it comes.
    Tests::runAvahiDaemon(false);
    Home helperHome;
    HelperProcess helper(helperHome, {u"-autoallow"_s});
    ASSERT_EQ(helper.waitUntilListening(), 47813);
    EXPECT_TRUE(
        Tests::waitForLogLine(helperHome.logPath(), u"dns-sd: waiting for avahi-daemon; still listening"_s));
    Tests::runAvahiDaemon(true);
    EXPECT_TRUE(Tests::waitForService(machine, 47813, 15));
}

TEST(LinkEndToEnd, ThePhonesErrorsAreClear)
{
    Home phoneHome;
    const auto unknown = runPhone(phoneHome, {u"pair"_s, u"no-such-host.invalid"_s});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.err.contains(u"cannot connect to no-such-host.invalid:47813: Host not found"_s));
    const auto refused = runPhone(phoneHome, {u"connect"_s, u"127.0.0.1:47999"_s});
    EXPECT_TRUE(refused.err.contains(u"cannot connect to 127.0.0.1:47999: Connection refused"_s));
    QTcpServer rude; // hangs up on everyone
    ASSERT_TRUE(rude.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&rude, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = rude.nextPendingConnection()) {
            socket->disconnectFromHost();
        }
    });
    const auto closed =
        runPhone(phoneHome, {u"pair"_s, u"127.0.0.1:"_s + QString::number(rude.serverPort())});
    EXPECT_TRUE(closed.err.contains(u"The other end closed the connection."_s)) << closed.err.toStdString();
    const auto usage = runPhone(phoneHome, {u"pair"_s});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(usage.err.contains(u"usage:"_s));
}
