#include "link/MemoryConnection.h"
#include "link/OVULinkChannel.h"
#include "tests/support/Bytes.h"
#include "tests/support/EventLoop.h"
#include "tests/support/RawPeer.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using Tests::frame;
using Tests::sealedFrame;

namespace {

const QByteArray key = QByteArray(32, '\x42');
constexpr char helperLabel = 0x4D;
constexpr char phoneLabel = 0x50;

struct Received {
    QJsonObject message;
    bool proved = false;
};

// A mac channel over an in-memory connection whose far end the test drives byte by byte.
struct RawChannel {
    std::shared_ptr<OVULinkChannel> channel;
    std::unique_ptr<RawPeer> peer;
    MemoryConnection* near = nullptr;
    QList<Received> received;
    QList<std::optional<QString>> closings;

    explicit RawChannel(Role role = Role::helper)
    {
        auto [a, b] = MemoryConnection::makePair();
        near = a.get();
        channel = OVULinkChannel::create(std::move(a), role);
        peer = std::make_unique<RawPeer>(std::move(b));
        channel->onMessage = [this](const QJsonObject& message, bool proved) {
            received.append({message, proved});
        };
        channel->onClosed = [this](const std::optional<QString>& reason) { closings.append(reason); };
        channel->start();
        Tests::drain();
    }

    void deliver(const QByteArray& bytes)
    {
        peer->send(bytes);
        Tests::drain();
    }
    std::optional<QString> onlyClosing() const
    {
        EXPECT_EQ(closings.size(), 1);
        return closings.value(0);
    }
};

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

const QJsonObject ping{{u"t"_s, u"ping"_s}};

} // namespace

TEST(Role, RawValuesAreTheDirectionLabels)
{
    EXPECT_EQ(rawValue(Role::phone), 0x50);
    EXPECT_EQ(rawValue(Role::helper), 0x4D);
    EXPECT_EQ(roleFromRaw(0x50), Role::phone);
    EXPECT_EQ(roleFromRaw(0x4D), Role::helper);
    EXPECT_EQ(roleFromRaw(0x00), std::nullopt);
    EXPECT_EQ(roleFromRaw(0x6D), std::nullopt);
}

TEST(ChannelFrames, PlainMessagesTravelBetweenTwoChannels)
{
    auto [a, b] = MemoryConnection::makePair();
    auto mac = OVULinkChannel::create(std::move(a), Role::helper);
    auto phone = OVULinkChannel::create(std::move(b), Role::phone);
    QList<Received> atPhone;
    bool opened = false;
    phone->onMessage = [&](const QJsonObject& message, bool proved) { atPhone.append({message, proved}); };
    phone->onOpen = [&] { opened = true; };
    mac->start();
    phone->start();
    mac->send(QJsonObject{{u"t"_s, u"hello"_s}, {u"n"_s, 1}, {u"s"_s, u"Ünïcødé “quoted”"_s}});
    ASSERT_TRUE(Tests::waitUntil([&] { return atPhone.size() == 1; }));
    EXPECT_TRUE(opened);
    EXPECT_FALSE(atPhone[0].proved);
    EXPECT_EQ(atPhone[0].message.value(u"s"_s).toString(), u"Ünïcødé “quoted”"_s);
    EXPECT_EQ(mac->sendCounter, 0u);
}

TEST(ChannelFrames, AuthenticatedFramesCarryTheCounterAndTheSendersLabel)
{
    RawChannel raw;
    raw.channel->installKey(key);
    raw.channel->send(ping);
    raw.channel->send(ping);
    Tests::drain();
    ASSERT_EQ(raw.peer->frames().size(), 2);
    const QByteArray payload = json(ping);
    for (std::uint64_t counter = 0; counter < 2; ++counter) {
        const QByteArray expected = sealedFrame(key, helperLabel, counter, payload).mid(4);
        EXPECT_EQ(Tests::hexOf(raw.peer->frames()[int(counter)]), Tests::hexOf(expected))
            << "frame " << counter;
    }
    EXPECT_EQ(raw.channel->sendCounter, 2u);
    // Each message is one packet on the connection.
    EXPECT_EQ(raw.near->packetsSent(), 2);
}

TEST(ChannelFrames, InstallingAKeyResetsBothCounters)
{
    RawChannel raw;
    raw.channel->installKey(key);
    raw.channel->send(ping);
    raw.deliver(sealedFrame(key, phoneLabel, 0, json(ping)));
    EXPECT_EQ(raw.channel->sendCounter, 1u);
    EXPECT_EQ(raw.channel->receiveCounter, 1u);
    raw.channel->installKey(QByteArray(32, '\x07'));
    EXPECT_EQ(raw.channel->sendCounter, 0u);
    EXPECT_EQ(raw.channel->receiveCounter, 0u);
}

TEST(ChannelFrames, AcceptedAuthenticatedFramesAreProvedAndCounted)
{
    RawChannel raw;
    raw.channel->installKey(key);
    raw.deliver(sealedFrame(key, phoneLabel, 0, json(ping)) + sealedFrame(key, phoneLabel, 1, json(ping)));
    ASSERT_EQ(raw.received.size(), 2);
    EXPECT_TRUE(raw.received[0].proved);
    EXPECT_TRUE(raw.received[1].proved);
    EXPECT_EQ(raw.channel->receiveCounter, 2u);
    EXPECT_TRUE(raw.closings.isEmpty());
}

TEST(ChannelFrames, PlainFramesAreDeliveredUnprovedUntilProofIsRequired)
{
    RawChannel raw;
    raw.channel->installKey(key);
    raw.deliver(frame(0x00, json(ping)));
    ASSERT_EQ(raw.received.size(), 1);
    EXPECT_FALSE(raw.received[0].proved);
    EXPECT_EQ(raw.channel->receiveCounter, 0u);

    raw.channel->requiresProof = true;
    raw.deliver(frame(0x00, json(ping)));
    EXPECT_EQ(raw.received.size(), 1);
    EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::withoutProof);
    EXPECT_TRUE(raw.channel->isClosed());
}

TEST(ChannelFrames, UnknownFlagEndsTheChannelEvenWithoutRequiredProof)
{
    RawChannel raw;
    raw.deliver(frame(0x02, json(ping)));
    EXPECT_TRUE(raw.received.isEmpty());
    EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::withoutProof);
}

TEST(ChannelLimits, LengthBoundsAreExact)
{
    {
        RawChannel raw;
        raw.deliver(Tests::bigEndian32(0));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::notOVU);
    }
    {
        RawChannel raw;
        raw.deliver(Tests::bigEndian32(1'048'577));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::notOVU);
    }
    {
        // Exactly 1,048,576 bytes of flag and body: a plain frame with the largest payload.
        RawChannel raw;
        const QByteArray payload = json(QJsonObject{{u"d"_s, QString(1'048'575 - 8, u'x')}});
        ASSERT_EQ(payload.size(), 1'048'575);
        raw.deliver(frame(0x00, payload));
        ASSERT_EQ(raw.received.size(), 1);
        EXPECT_EQ(raw.received[0].message.value(u"d"_s).toString().size(), 1'048'575 - 8);
        EXPECT_TRUE(raw.closings.isEmpty());
    }
}

TEST(ChannelLimits, AuthenticatedBodyNeedsAPayloadByteAndATag)
{
    {
        RawChannel raw;
        raw.channel->installKey(key);
        raw.deliver(frame(0x01, QByteArray(32, 'a')));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotCheck);
    }
    {
        // 33 bytes: checked normally, so a wrong tag is a failed proof...
        RawChannel raw;
        raw.channel->installKey(key);
        raw.deliver(frame(0x01, QByteArray(33, 'a')));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotProve);
    }
    {
        // ...and a right tag over a one-byte payload is checked, counted, then not an object.
        RawChannel raw;
        raw.channel->installKey(key);
        raw.deliver(sealedFrame(key, phoneLabel, 0, "7"));
        EXPECT_EQ(raw.channel->receiveCounter, 1u);
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::notOVU);
    }
    {
        RawChannel raw;
        raw.deliver(sealedFrame(key, phoneLabel, 0, json(ping)));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotCheck);
    }
}

TEST(ChannelProof, ReplayedFrameFailsTheProof)
{
    RawChannel raw;
    raw.channel->installKey(key);
    const QByteArray sealed = sealedFrame(key, phoneLabel, 0, json(ping));
    raw.deliver(sealed + sealed);
    EXPECT_EQ(raw.received.size(), 1);
    EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotProve);
}

TEST(ChannelProof, ReflectedFrameFailsTheProof)
{
    RawChannel raw;
    raw.channel->installKey(key);
    raw.deliver(sealedFrame(key, helperLabel, 0, json(ping)));
    EXPECT_TRUE(raw.received.isEmpty());
    EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotProve);
}

TEST(ChannelProof, ReorderedOrForeignKeyFramesFailTheProof)
{
    {
        RawChannel raw;
        raw.channel->installKey(key);
        raw.deliver(sealedFrame(key, phoneLabel, 1, json(ping)));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotProve);
    }
    {
        RawChannel raw;
        raw.channel->installKey(key);
        raw.deliver(sealedFrame(QByteArray(32, '\x43'), phoneLabel, 0, json(ping)));
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::cannotProve);
    }
}

TEST(ChannelPayload, OnlyJsonObjectsAreOVU)
{
    for (const QByteArray& payload : {QByteArray("[1,2]"), QByteArray("\"text\""), QByteArray("42"),
                                      QByteArray("{\"t\":"), QByteArray("\xff\xfe"), QByteArray("{} {}")}) {
        RawChannel raw;
        raw.deliver(frame(0x00, payload));
        EXPECT_TRUE(raw.received.isEmpty()) << payload.constData();
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::notOVU) << payload.constData();
    }
}

TEST(ChannelSend, UnserializableMessageSendsNothingAndKeepsTheCounter)
{
    RawChannel raw;
    raw.channel->installKey(key);
    raw.channel->send(QJsonObject{{u"x"_s, std::numeric_limits<double>::quiet_NaN()}});
    raw.channel->send(QJsonObject{{u"a"_s, QJsonArray{1, std::numeric_limits<double>::infinity()}}});
    Tests::drain();
    EXPECT_TRUE(raw.peer->frames().isEmpty());
    EXPECT_EQ(raw.channel->sendCounter, 0u);
    EXPECT_EQ(raw.near->packetsSent(), 0);
}

TEST(ChannelSend, ClosedChannelSendsNothing)
{
    RawChannel raw;
    raw.channel->close();
    raw.channel->send(ping);
    Tests::drain();
    EXPECT_TRUE(raw.peer->frames().isEmpty());
    EXPECT_TRUE(raw.closings.isEmpty());
}

TEST(ChannelClosing, EndOfStreamAndErrorsAreTheOtherEndClosing)
{
    {
        RawChannel raw;
        raw.near->injectEndOfStream();
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::closedByOtherEnd);
    }
    {
        // A header cut short by the end of the stream.
        RawChannel raw;
        raw.peer->send(QByteArray(2, '\0'));
        raw.near->injectEndOfStream();
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::closedByOtherEnd);
    }
    {
        // A frame cut short.
        RawChannel raw;
        raw.peer->send(frame(0x00, json(ping)).chopped(3));
        raw.near->injectEndOfStream();
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::closedByOtherEnd);
    }
    {
        RawChannel raw;
        raw.near->injectError(u"Connection reset by peer"_s);
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::closedByOtherEnd);
    }
}

TEST(ChannelClosing, FrameArrivingWithTheEndOfStreamIsStillHandled)
{
    RawChannel raw;
    raw.near->injectBytes(frame(0x00, json(ping)));
    raw.near->injectEndOfStream();
    Tests::drain();
    EXPECT_EQ(raw.received.size(), 1);
    EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::closedByOtherEnd);
}

TEST(ChannelClosing, ConnectionStatesBecomeSentences)
{
    {
        RawChannel raw;
        raw.near->injectState(Connection::State::waiting, u"Network is unreachable"_s);
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), u"Could not reach the Mac: Network is unreachable"_s);
    }
    {
        RawChannel raw;
        raw.near->injectState(Connection::State::failed, u"Connection refused"_s);
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), u"The connection failed: Connection refused"_s);
    }
    {
        RawChannel raw;
        raw.near->injectState(Connection::State::cancelled);
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), std::nullopt);
        EXPECT_TRUE(raw.channel->isClosed());
    }
    {
        RawChannel raw;
        raw.near->injectState(Connection::State::preparing);
        Tests::drain();
        EXPECT_TRUE(raw.closings.isEmpty());
        EXPECT_FALSE(raw.channel->isClosed());
    }
}

TEST(ChannelClosing, CloseReportsNothingAndFinishReportsOnce)
{
    {
        RawChannel raw;
        raw.channel->close();
        Tests::drain(); // the connection's cancelled state arrives
        EXPECT_TRUE(raw.closings.isEmpty());
        EXPECT_TRUE(raw.near->isCancelled());
        EXPECT_TRUE(raw.peer->endOfStream());
    }
    {
        RawChannel raw;
        raw.deliver(frame(0x02, "{}"));
        raw.near->injectState(Connection::State::failed, u"later"_s);
        raw.near->injectState(Connection::State::cancelled);
        Tests::drain();
        EXPECT_EQ(raw.onlyClosing(), OVULinkChannel::withoutProof);
        EXPECT_FALSE(raw.channel->onClosed);
    }
}

TEST(ChannelClosing, NothingIsDeliveredAfterTheChannelEnds)
{
    RawChannel raw;
    raw.channel->onMessage = [&](const QJsonObject& message, bool proved) {
        raw.received.append({message, proved});
        raw.channel->close();
    };
    raw.deliver(frame(0x00, json(ping)) + frame(0x00, json(ping)));
    EXPECT_EQ(raw.received.size(), 1);
    EXPECT_TRUE(raw.closings.isEmpty());
}

TEST(ChannelClosing, ReleasedChannelStopsQuietly)
{
    QList<Received> received;
    auto [a, b] = MemoryConnection::makePair();
    MemoryConnection* near = a.get();
    auto channel = OVULinkChannel::create(std::move(a), Role::helper);
    RawPeer peer(std::move(b));
    channel->onMessage = [&](const QJsonObject& message, bool proved) { received.append({message, proved}); };
    channel->start();
    Tests::drain();
    EXPECT_TRUE(near->isStarted());
    peer.send(frame(0x00, json(ping)));
    channel.reset();
    Tests::drain();
    EXPECT_TRUE(received.isEmpty());
    EXPECT_TRUE(peer.endOfStream());
}

TEST(ChannelCompare, ConstantTimeEqual)
{
    EXPECT_TRUE(OVULinkChannel::constantTimeEqual("abc", "abc"));
    EXPECT_TRUE(OVULinkChannel::constantTimeEqual("", ""));
    EXPECT_FALSE(OVULinkChannel::constantTimeEqual("abc", "abd"));
    EXPECT_FALSE(OVULinkChannel::constantTimeEqual("abc", "ab"));
    EXPECT_FALSE(OVULinkChannel::constantTimeEqual("xbc", "abc"));
}
