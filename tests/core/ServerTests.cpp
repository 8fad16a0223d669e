#include "base/HelperLog.h"
#include "core/LinkServer.h"
#include "core/ServiceAdvertiser.h"
#include "link/LinkSession.h"
#include "link/PairedDevices.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FdExhaustion.h"
#include "tests/support/LogReader.h"
#include "tests/support/ModelPhone.h"

#include <QCoro/QCoroTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Records what the server asks of DNS-SD, as "NAME TYPE PORT".
struct RecordingAdvertiser final : ServiceAdvertiser {
    QStringList advertisements;
    int withdrawals = 0;
    void advertise(const QString& name, const QString& type, quint16 port) override
    {
        advertisements.append(u"%1 %2 %3"_s.arg(name, type).arg(port));
    }
    void withdraw() override { ++withdrawals; }
};

struct ServerFixture {
    QTemporaryDir folder;
    PairedDevices devices{folder.path() + u"/helper"_s};
    std::unique_ptr<RecordingAdvertiser> owned = std::make_unique<RecordingAdvertiser>();
    const QStringList& advertisements = owned->advertisements;
    const int& withdrawals = owned->withdrawals;
    LinkServer server{devices, u"Test Mac"_s, std::move(owned)};
    QList<std::optional<QString>> problems;
    QList<std::shared_ptr<LinkSession>> proved;

    ServerFixture()
    {
        server.onProblem = [this](const std::optional<QString>& problem) { problems.append(problem); };
        server.onSession = [this](const std::shared_ptr<LinkSession>& session) { proved.append(session); };
    }
    bool ready() const { return !problems.isEmpty() && !problems.last().has_value(); }
};

int listenerLines(quint16 port)
{
    return static_cast<int>(
        Tests::logMessages(HelperLog::path()).count(u"listening on port "_s + QString::number(port)));
}

// Makes the listener fail for real: the next accept finds no file descriptor left.
void failListener(ServerFixture& f, QTcpSocket& client)
{
    // Sockets of earlier tests still waiting for deletion would free descriptors meanwhile.
    Tests::spin(100ms);
    // The client's socket exists (connecting to an address starts at once); the accept cannot.
    client.connectToHost(QHostAddress(u"127.0.0.1"_s), 47813);
    FdExhaustion noDescriptors;
    ASSERT_TRUE(Tests::waitUntil([&] { return !f.server.isListening(); }));
}

QCoro::Task<bool> allow(QString, QString)
{
    co_return true;
}

} // namespace

TEST(LinkServer, ListensOnThePreferredPortAdvertisesItAndStopsAllOfIt)
{
    ServerFixture f;
    const int before = listenerLines(47813);
    f.server.start();
    f.server.start();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.ready(); }));
    EXPECT_EQ(f.server.port(), 47813);
    EXPECT_EQ(f.advertisements, QStringList{u"Test Mac _ovuhelper._tcp 47813"_s})
        << "a second start() makes no second listener";
    EXPECT_EQ(listenerLines(47813), before + 1);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, 47813);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.server.sessionCount() == 1; }));

    f.server.stop();
    EXPECT_FALSE(f.server.isListening());
    EXPECT_EQ(f.server.sessionCount(), 0);
    EXPECT_EQ(f.withdrawals, 1);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, 47813);
    EXPECT_FALSE(probe.waitForConnected(1000));
}

TEST(LinkServer, ATakenPortFallsBackAndNoPortAtAllIsAProblemForTheUser)
{
    {
        QTcpServer squatter;
        ASSERT_TRUE(squatter.listen(QHostAddress::Any, 47813));
        ServerFixture f;
        f.server.start();
        ASSERT_TRUE(Tests::waitUntil([&] { return f.ready(); }));
        const quint16 port = f.server.port();
        EXPECT_NE(port, 47813);
        EXPECT_EQ(f.advertisements, QStringList{u"Test Mac _ovuhelper._tcp "_s + QString::number(port)});
        Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Tcp Phone"_s, {}, port);
        EXPECT_TRUE(Tests::waitUntil([&] { return phone.denied; })) << "the fallback port serves phones";
    }
    ServerFixture f;
    {
        FdExhaustion noDescriptors;
        f.server.start();
    }
    EXPECT_FALSE(f.server.isListening());
    EXPECT_EQ(f.problems, QList<std::optional<QString>>{u"OVU Helper could not open a port to listen on."_s});
    Tests::spin(2500ms);
    EXPECT_FALSE(f.server.isListening()) << "nothing retries by itself";
    f.server.start();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.ready(); })) << "the next start does, and clears the problem";
}

TEST(LinkServer, PairingIsRefusedUntilAnsweredProvedSessionsAreReportedAndStopClosesThemOnce)
{
    ServerFixture f;
    f.server.start();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.ready(); }));
    {
        Tests::ModelPhone refused(PhoneLink::Mode::pair, u"Tcp Phone"_s);
        ASSERT_TRUE(Tests::waitUntil([&] { return refused.denied; }));
        EXPECT_TRUE(refused.code.has_value());
        EXPECT_TRUE(f.devices.devices().isEmpty());
    }
    f.server.askToPair = allow;
    Tests::ModelPhone pairing(PhoneLink::Mode::pair, u"Tcp Phone"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return pairing.proved; }));
    ASSERT_EQ(f.proved.size(), 1);
    // The same phone, known now, proves itself without being asked.
    f.server.askToPair = nullptr;
    Tests::ModelPhone known(PhoneLink::Mode::connect, u"Tcp Phone"_s, pairing.store.folder());
    ASSERT_TRUE(Tests::waitUntil([&] { return f.proved.size() == 2; }));
    int closedReports = 0;
    f.server.watch(f.proved[1], [&] { ++closedReports; });
    f.server.stop();
    EXPECT_TRUE(Tests::waitUntil([&] { return known.closed && pairing.closed; }));
    EXPECT_EQ(closedReports, 1);
}

TEST(LinkServer, TheNinthConnectionIsClosedAtOnceUntilASlotFrees)
{
    ServerFixture f;
    f.server.start();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.ready(); }));
    std::vector<std::unique_ptr<QTcpSocket>> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.push_back(std::make_unique<QTcpSocket>());
        waiting.back()->connectToHost(QHostAddress::LocalHost, 47813);
    }
    ASSERT_TRUE(Tests::waitUntil([&] { return f.server.sessionCount() == 8; }));
    QTcpSocket ninth;
    bool ninthClosed = false;
    QObject::connect(&ninth, &QTcpSocket::disconnected, [&] { ninthClosed = true; });
    ninth.connectToHost(QHostAddress::LocalHost, 47813);
    ASSERT_TRUE(Tests::waitUntil([&] { return ninthClosed; }, 2s));
    EXPECT_EQ(f.server.sessionCount(), 8);
    waiting.front()->disconnectFromHost();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.server.sessionCount() == 7; }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Tcp Phone"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.denied; })) << "a freed slot takes a phone again";
}

TEST(LinkServer, AFailedListenerRestartsTwoSecondsLaterKeepingTheSessionsUnlessStopped)
{
    ServerFixture f;
    f.server.start();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.ready(); }));
    const int before = listenerLines(47813);
    QTcpSocket early;
    early.connectToHost(QHostAddress::LocalHost, 47813);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.server.sessionCount() == 1; }));
    QTcpSocket client;
    failListener(f, client);
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"listener failed: "_s));
    EXPECT_EQ(f.withdrawals, 1);
    EXPECT_EQ(f.server.sessionCount(), 1);
    EXPECT_EQ(early.state(), QAbstractSocket::ConnectedState);
    Tests::spin(1500ms);
    EXPECT_FALSE(f.server.isListening());
    ASSERT_TRUE(
        Tests::waitUntil([&] { return f.server.isListening() && listenerLines(47813) == before + 1; }, 3s));
    EXPECT_EQ(f.advertisements.size(), 2);

    QTcpSocket again;
    failListener(f, again);
    f.server.stop();
    Tests::spin(2500ms);
    EXPECT_FALSE(f.server.isListening()) << "stop cancels the restart";
}
