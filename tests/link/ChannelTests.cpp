// The link channel byte by byte: what it sends, and what each incoming byte sequence does.
#include "link/MemoryConnection.h"
#include "link/OVULinkChannel.h"
#include "tests/support/Bytes.h"
#include "tests/support/EventLoop.h"
#include "tests/support/RawPeer.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <limits>

using namespace Qt::StringLiterals;
using Tests::frame;
using Tests::sealedFrame;

namespace {

const QByteArray key = QByteArray(32, '\x42');
constexpr char helperLabel = 0x4D;
constexpr char phoneLabel = 0x50;
const QByteArray ping = R"({"t":"ping"})";

// A helper-side channel over an in-memory connection whose far end the test drives byte by byte.
struct RawChannel {
    std::shared_ptr<OVULinkChannel> channel;
    std::unique_ptr<RawPeer> peer;
    MemoryConnection* near = nullptr;
    QList<bool> received; // proved or not, per message
    QList<std::optional<QString>> closings;

    explicit RawChannel(bool keyed = false)
    {
        auto [a, b] = MemoryConnection::makePair();
        near = a.get();
        channel = OVULinkChannel::create(std::move(a), Role::helper);
        peer = std::make_unique<RawPeer>(std::move(b));
        channel->onMessage = [this](const QJsonObject&, bool proved) { received.append(proved); };
        channel->onClosed = [this](const std::optional<QString>& reason) { closings.append(reason); };
        channel->start();
        if (keyed) {
            channel->installKey(key);
        }
        Tests::drain();
    }
    void deliver(const QByteArray& bytes)
    {
        peer->send(bytes);
        Tests::drain();
    }
};

} // namespace

TEST(Channel, IncomingBytesAreDeliveredOrEndTheChannelWithTheirSentence)
{
    const QByteArray largest = R"({"d":")" + QByteArray(1'048'575 - 8, 'x') + R"("})";
    const QByteArray sealed = sealedFrame(key, phoneLabel, 0, ping);
    const QString cannotProve = OVULinkChannel::cannotProve;
    struct Case {
        const char* what;
        bool keyed;
        bool requiresProof;
        QByteArray bytes;
        QList<bool> delivered;
        std::optional<QString> closing;
    };
    const std::vector<Case> cases = {
        {"plain, unkeyed", false, false, frame(0x00, ping), {false}, {}},
        {"plain, keyed: still unproved", true, false, frame(0x00, ping), {false}, {}},
        {"plain when proof is required", true, true, frame(0x00, ping), {}, OVULinkChannel::withoutProof},
        {"unknown flag", false, false, frame(0x02, ping), {}, OVULinkChannel::withoutProof},
        {"length 0", false, false, Tests::bigEndian32(0), {}, OVULinkChannel::notOVU},
        {"one byte over the limit", false, false, Tests::bigEndian32(1'048'577), {}, OVULinkChannel::notOVU},
        {"the largest frame", false, false, frame(0x00, largest), {false}, {}},
        {"sealed in order", true, false, sealed + sealedFrame(key, phoneLabel, 1, ping), {true, true}, {}},
        {"sealed without a key", false, false, sealed, {}, OVULinkChannel::cannotCheck},
        {"no room for a tag", true, false, frame(0x01, QByteArray(32, 'a')), {}, OVULinkChannel::cannotCheck},
        {"a wrong tag", true, false, frame(0x01, QByteArray(33, 'a')), {}, cannotProve},
        {"replayed", true, false, sealed + sealed, {true}, cannotProve},
        {"reflected", true, false, sealedFrame(key, helperLabel, 0, ping), {}, cannotProve},
        {"out of order", true, false, sealedFrame(key, phoneLabel, 1, ping), {}, cannotProve},
        {"another key", true, false, sealedFrame(QByteArray(32, 'C'), phoneLabel, 0, ping), {}, cannotProve},
        {"proved, no object", true, false, sealedFrame(key, phoneLabel, 0, "7"), {}, OVULinkChannel::notOVU},
        {"an array", false, false, frame(0x00, "[1,2]"), {}, OVULinkChannel::notOVU},
        {"cut JSON", false, false, frame(0x00, "{\"t\":"), {}, OVULinkChannel::notOVU},
        {"two objects", false, false, frame(0x00, "{} {}"), {}, OVULinkChannel::notOVU},
        {"not UTF-8", false, false, frame(0x00, "\xff\xfe"), {}, OVULinkChannel::notOVU},
    };
    for (const Case& c : cases) {
        RawChannel raw(c.keyed);
        raw.channel->requiresProof = c.requiresProof;
        raw.deliver(c.bytes);
        EXPECT_EQ(raw.received, c.delivered) << c.what;
        EXPECT_EQ(raw.closings,
                  c.closing ? QList<std::optional<QString>>{c.closing} : QList<std::optional<QString>>{})
            << c.what;
    }
}

TEST(Channel, SentFramesCarryTheCounterAndTheSendersLabelOnePacketEach)
{
    RawChannel raw(true);
    raw.channel->send(QJsonObject{{u"t"_s, u"ping"_s}});
    raw.channel->send(QJsonObject{{u"t"_s, u"ping"_s}});
    // What cannot be written as JSON is not sent and takes no number.
    raw.channel->send(QJsonObject{{u"x"_s, std::numeric_limits<double>::quiet_NaN()}});
    Tests::drain();
    ASSERT_EQ(raw.peer->frames().size(), 2);
    for (std::uint64_t counter = 0; counter < 2; ++counter) {
        EXPECT_EQ(Tests::hexOf(raw.peer->frames()[int(counter)]),
                  Tests::hexOf(sealedFrame(key, helperLabel, counter, ping).mid(4)));
    }
    EXPECT_EQ(raw.channel->sendCounter, 2u);
    EXPECT_EQ(raw.near->packetsSent(), 2);
    // A new key starts both counts again.
    raw.deliver(sealedFrame(key, phoneLabel, 0, ping));
    raw.channel->installKey(QByteArray(32, '\x07'));
    EXPECT_EQ(raw.channel->sendCounter, 0u);
    EXPECT_EQ(raw.channel->receiveCounter, 0u);
}

TEST(Channel, TheEndComesOnceWithItsReasonAndNothingAfterIt)
{
    // The stream ends after these bytes: what came whole is still handled.
    for (const auto& [bytes, received] :
         {std::pair{QByteArray(), 0}, std::pair{QByteArray(2, '\0'), 0},
          std::pair{frame(0x00, ping).chopped(3), 0}, std::pair{frame(0x00, ping), 1}}) {
        RawChannel raw;
        raw.near->injectBytes(bytes);
        raw.near->injectEndOfStream();
        Tests::drain();
        EXPECT_EQ(raw.closings, QList<std::optional<QString>>{OVULinkChannel::closedByOtherEnd})
            << bytes.size();
        EXPECT_EQ(raw.received.size(), received);
    }
    using State = Connection::State;
    const std::tuple<State, std::optional<QString>, std::optional<QString>> states[] = {
        {State::waiting, u"Network is unreachable"_s, u"Could not reach the Mac: Network is unreachable"_s},
        {State::failed, u"Connection refused"_s, u"The connection failed: Connection refused"_s},
        {State::cancelled, std::nullopt, std::nullopt},
    };
    for (const auto& [state, error, closing] : states) {
        RawChannel raw;
        raw.near->injectState(state, error);
        raw.near->injectError(u"Connection reset by peer"_s);
        Tests::drain();
        EXPECT_EQ(raw.closings, QList<std::optional<QString>>{closing}) << "only the first reason counts";
    }
    {
        RawChannel raw;
        raw.near->injectError(u"Connection reset by peer"_s);
        Tests::drain();
        EXPECT_EQ(raw.closings, QList<std::optional<QString>>{OVULinkChannel::closedByOtherEnd});
    }
    {
        RawChannel raw;
        raw.near->injectState(State::preparing);
        Tests::drain();
        EXPECT_TRUE(raw.closings.isEmpty()) << "preparing is no end";
    }
    // Closing from this end reports nothing, ends the stream, and sends nothing more; a message
    // handler that closes gets no second message.
    {
        RawChannel raw;
        raw.channel->onMessage = [&](const QJsonObject&, bool) {
            raw.received.append(false);
            raw.channel->close();
        };
        raw.deliver(frame(0x00, ping) + frame(0x00, ping));
        raw.channel->send(QJsonObject{{u"t"_s, u"late"_s}});
        Tests::drain();
        EXPECT_EQ(raw.received.size(), 1);
        EXPECT_TRUE(raw.closings.isEmpty());
        EXPECT_TRUE(raw.peer->frames().isEmpty());
        EXPECT_TRUE(raw.peer->endOfStream());
    }
    // A channel let go stops quietly.
    RawChannel raw;
    raw.peer->send(frame(0x00, ping));
    raw.channel.reset();
    Tests::drain();
    EXPECT_TRUE(raw.received.isEmpty());
    EXPECT_TRUE(raw.peer->endOfStream());
}
