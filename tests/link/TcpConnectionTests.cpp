#include "link/TcpConnection.h"
#include "tests/support/EventLoop.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A listener on loopback and the accepted side of one connection to it.
struct LoopbackPair {
    QTcpServer server;
    std::unique_ptr<TcpConnection> accepted;
    QTcpSocket* acceptedSocket = nullptr;
    std::unique_ptr<QTcpSocket> client = std::make_unique<QTcpSocket>();

    LoopbackPair()
    {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        client->connectToHost(QHostAddress::LocalHost, server.serverPort());
        EXPECT_TRUE(Tests::waitUntil([&] { return server.hasPendingConnections(); }));
        acceptedSocket = server.nextPendingConnection();
        accepted = std::make_unique<TcpConnection>(acceptedSocket);
        accepted->stateHandler = [this](Connection::State s, const std::optional<QString>& e) {
            state = s;
            error = e;
        };
        EXPECT_TRUE(Tests::waitUntil([&] { return client->state() == QAbstractSocket::ConnectedState; }));
    }
    std::optional<Connection::State> state;
    std::optional<QString> error;
};

int option(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
}

} // namespace

TEST(TcpConnection, AcceptedSocketReportsReadyAndHasTheLinkOptions)
{
    LoopbackPair pair;
    pair.accepted->start();
    EXPECT_FALSE(pair.state) << "never from inside start()";
    ASSERT_TRUE(Tests::waitUntil([&] { return pair.state.has_value(); }));
    EXPECT_EQ(*pair.state, Connection::State::ready);

    const int fd = static_cast<int>(pair.accepted->socketDescriptor());
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
}

TEST(TcpConnection, ReadsExactSizesWhatWasBufferedOutlivesThePeerAndCancelSendsFirst)
{
    {
        LoopbackPair pair;
        pair.accepted->start();
        QList<Connection::Received> reads;
        std::function<void()> next = [&] {
            pair.accepted->receive(5, [&](Connection::Received received) {
                reads.append(received);
                if (!received.endOfStream) {
                    next();
                }
            });
        };
        next();
        pair.client->write("abc");
        pair.client->flush();
        Tests::spin(30ms);
        EXPECT_TRUE(reads.isEmpty()) << "three bytes do not complete a read of five";
        pair.client->write("defghijklmno");
        ASSERT_TRUE(Tests::waitUntil([&] { return reads.size() == 3; }));
        // What the peer sent before it closed still arrives, the rest with the end of the stream.
        pair.client->write("pqrstuv");
        pair.client->disconnectFromHost();
        ASSERT_TRUE(Tests::waitUntil([&] { return reads.size() == 5; }));
        for (qsizetype i = 0; i < reads.size(); ++i) {
            EXPECT_EQ(reads[i].data, QByteArrayList({"abcde", "fghij", "klmno", "pqrst", "uv"})[i]);
        }
        EXPECT_TRUE(reads.last().endOfStream && !reads.last().error);
    }
    LoopbackPair pair;
    pair.accepted->start();
    pair.accepted->send(QByteArray(200'000, 'b'));
    pair.accepted->cancel();
    QByteArray received;
    bool closed = false;
    QObject::connect(pair.client.get(), &QTcpSocket::readyRead, [&] { received += pair.client->readAll(); });
    QObject::connect(pair.client.get(), &QTcpSocket::disconnected, [&] { closed = true; });
    ASSERT_TRUE(Tests::waitUntil([&] { return closed; }));
    received += pair.client->readAll();
    EXPECT_EQ(received.size(), 200'000);
    EXPECT_EQ(pair.state, Connection::State::cancelled);
}

TEST(TcpConnection, APeerThatStopsReadingFailsTheConnectionInsteadOfGrowingIt)
{
    LoopbackPair pair;
    // The phone's end takes one byte and then nothing more.
    pair.client->setReadBufferSize(1);
    pair.accepted->start();
    ASSERT_TRUE(Tests::waitUntil([&] { return pair.state == Connection::State::ready; }));
    const QByteArray packet(64 * 1024, 'p');
    qint64 sent = 0;
    while (pair.state == Connection::State::ready && sent < 64LL * 1024 * 1024) {
        pair.accepted->send(packet);
        sent += packet.size();
        Tests::spin(1ms);
    }
    ASSERT_TRUE(Tests::waitUntil([&] { return pair.state == Connection::State::failed; }));
    EXPECT_EQ(pair.error, u"the peer stopped reading"_s);
    // The limit, plus what the kernel's buffers took on both sides.
    EXPECT_LT(sent, TcpConnection::writeBufferLimit + 16 * 1024 * 1024);
    pair.accepted->send(packet);
    EXPECT_EQ(pair.accepted->socketDescriptor(), -1) << "the socket is closed";
}
