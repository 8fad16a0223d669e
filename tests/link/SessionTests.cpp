// The helper's side of the handshake, with the test playing the phone message by message over an
// in-memory connection.
#include "link/LinkMessages.h"
#include "link/LinkSession.h"
#include "link/MemoryConnection.h"
#include "link/OVULink.h"
#include "link/PairedDevices.h"
#include "link/X25519KeyPair.h"
#include "tests/support/Bytes.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Sanitizers.h"

#include <QCoro/QCoroTimer>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray storedKey = QByteArray(32, '\x5a');
const QString phoneID = u"phone-1"_s;

QCoro::Task<bool> waitForAnswer(std::shared_ptr<std::optional<bool>> answer)
{
    while (!*answer) {
        co_await QCoro::sleepFor(1ms);
    }
    co_return **answer;
}

struct Handshake {
    QTemporaryDir folder;
    std::unique_ptr<PairedDevices> devices;
    std::shared_ptr<LinkSession> session;
    std::shared_ptr<OVULinkChannel> phone;
    MemoryConnection* phoneConnection = nullptr;
    QList<std::pair<QJsonObject, bool>> atPhone; // message, proved
    QList<std::pair<QString, QString>> asked;
    std::shared_ptr<std::optional<bool>> answer = std::make_shared<std::optional<bool>>();
    int provedCount = 0;
    int closedCount = 0;
    QList<QJsonObject> afterProof;
    QByteArray phoneNonce = QByteArray(16, '\x11');
    X25519KeyPair phoneKey = *X25519KeyPair::generate();
    QByteArray pairKey;
    QString code;

    explicit Handshake(bool known = false, std::chrono::milliseconds timeout = LinkSession::proofTimeout)
    {
        devices = std::make_unique<PairedDevices>(folder.path() + u"/OVU Helper"_s);
        if (known) {
            devices->add(PairedDevice{phoneID, u"Known"_s, storedKey, std::chrono::system_clock::now()});
        }
        auto [near, far] = MemoryConnection::makePair();
        phoneConnection = far.get();
        auto answerState = answer;
        session = LinkSession::create(
            std::move(near), *devices, u"Test Mac"_s,
            [this, answerState](QString name, QString shown) {
                asked.append({name, shown});
                return waitForAnswer(answerState);
            },
            [this](const std::shared_ptr<LinkSession>& proved) {
                EXPECT_EQ(proved, session);
                ++provedCount;
                proved->onMessage = [this](const QJsonObject& message) { afterProof.append(message); };
            },
            timeout);
        session->onClosed = [this] { ++closedCount; };
        phone = OVULinkChannel::create(std::move(far), Role::phone);
        phone->onMessage = [this](const QJsonObject& message, bool proved) {
            atPhone.append({message, proved});
        };
        phone->start();
        Tests::drain();
    }
    // A session may outlive its test (a pairing question still open holds it): it must not call
    // back into a handshake that is gone.
    ~Handshake()
    {
        *answer = false;
        if (session) {
            session->onClosed = nullptr;
            session->onMessage = nullptr;
            session->close();
        }
        Tests::drain();
    }

    void send(const QJsonObject& message)
    {
        phone->send(message);
        Tests::drain();
    }
    void sendPlain(const QByteArray& json)
    {
        phoneConnection->send(Tests::frame(0x00, json));
        Tests::drain();
    }
    void hello(std::optional<QString> name = std::nullopt)
    {
        send(LinkMessages::Hello{phoneID, phoneNonce, name}.json());
    }
    LinkMessages::HelperHello helperHello() const
    {
        return *LinkMessages::HelperHello::from(atPhone.value(0).first);
    }
    void useStoredKey(const QByteArray& key = storedKey)
    {
        phone->installKey(OVULink::sessionKey(key, phoneNonce, helperHello().nonce));
    }
    void pair() { send(LinkMessages::Pair{phoneKey.publicKey()}.json()); }
    // The phone's half of a pairing, computed on its own: checks the commitment, installs the key.
    void takePairAnswer()
    {
        const auto answer = LinkMessages::PairAnswer::from(atPhone.value(1).first);
        ASSERT_TRUE(answer);
        EXPECT_EQ(helperHello().commitment, OVULink::commitment(answer->publicKey, answer->salt));
        const QByteArray secret = *phoneKey.sharedSecret(answer->publicKey);
        code = OVULink::comparisonCode(secret, phoneKey.publicKey(), answer->publicKey);
        pairKey = OVULink::pairKey(secret, phoneKey.publicKey(), answer->publicKey);
        phone->installKey(OVULink::sessionKey(pairKey, phoneNonce, helperHello().nonce));
        phone->requiresProof = true;
    }
    bool ended() const { return session->channel->isClosed(); }

    enum class Step { hello, storedKey, otherKey, auth, plainAuth, pair, nothingKey, takeAnswer };
    void run(Step step)
    {
        switch (step) {
        case Step::hello:
            return hello();
        case Step::storedKey:
            return useStoredKey();
        case Step::otherKey:
            return useStoredKey(QByteArray(32, '\x01'));
        case Step::auth:
            return send(LinkMessages::Auth{}.json());
        case Step::plainAuth:
            return sendPlain(R"({"t":"auth"})");
        case Step::pair:
            return pair();
        case Step::nothingKey:
            return send(LinkMessages::Pair{QByteArray(32, '\0')}.json());
        case Step::takeAnswer:
            return takePairAnswer();
        }
    }
};

} // namespace

TEST(SessionHello, TheHelperGreetsOnceAndEverythingElseBeforeProofCloses)
{
    Handshake h;
    h.hello(u"Anna’s phone"_s);
    ASSERT_EQ(h.atPhone.size(), 1);
    const LinkMessages::HelperHello hello = h.helperHello();
    EXPECT_FALSE(h.atPhone[0].second);
    EXPECT_EQ(h.atPhone[0].first.value(u"v"_s).toInt(), 1);
    EXPECT_EQ(hello.id, h.devices->helperID());
    EXPECT_EQ(hello.name, u"Test Mac"_s);
    EXPECT_FALSE(hello.known);
    EXPECT_EQ(h.session->deviceID, phoneID);
    EXPECT_EQ(h.session->phoneNonce(), h.phoneNonce);
    EXPECT_FALSE(h.ended());
}

TEST(SessionHello, TheNameIsCutToSixtyCharactersOrDefaults)
{
    const auto nameAfter = [](std::optional<QString> name) {
        Handshake h;
        h.hello(name);
        return h.session->deviceName;
    };
    EXPECT_EQ(nameAfter(u"ab"_s.repeated(40)), u"ab"_s.repeated(30));
    EXPECT_EQ(nameAfter(u"👩‍💻"_s.repeated(61)), u"👩‍💻"_s.repeated(60))
        << "characters as the user sees them";
    EXPECT_EQ(nameAfter(u""_s), u"A phone"_s);
    EXPECT_EQ(nameAfter(std::nullopt), u"A phone"_s);
}

TEST(SessionAuth, AKnownPhoneProvesItselfWithTheStoredKeyOnly)
{
    Handshake h(true);
    h.hello();
    EXPECT_TRUE(h.helperHello().known);
    h.useStoredKey();
    h.send(LinkMessages::Auth{}.json());
    EXPECT_EQ(h.provedCount, 1);
    EXPECT_TRUE(h.session->isProved);
    // From now on every authenticated message goes to the owner, a "hello" too; the helper's
    // first frame carries counter 0.
    h.send(LinkMessages::Hello{phoneID, h.phoneNonce, {}}.json());
    EXPECT_EQ(h.afterProof.size(), 1);
    h.session->channel->send(QJsonObject{{u"t"_s, u"ready"_s}});
    Tests::drain();
    ASSERT_EQ(h.atPhone.size(), 2);
    EXPECT_TRUE(h.atPhone[1].second);
    // A plain frame after the proof ends the channel.
    h.sendPlain(R"({"t":"start"})");
    EXPECT_TRUE(h.ended());
    EXPECT_EQ(h.afterProof.size(), 1);
}

TEST(SessionPair, AnAllowedPairingStoresThePhoneAndProvesTheSession)
{
    Handshake h;
    h.hello(u"Anna’s phone"_s);
    h.pair();
    ASSERT_EQ(h.atPhone.size(), 2);
    EXPECT_FALSE(h.atPhone[1].second) << "the answer to an unknown phone is plain";
    h.takePairAnswer();
    ASSERT_EQ(h.asked.size(), 1);
    EXPECT_EQ(h.asked[0], (std::pair{u"Anna’s phone"_s, h.code}));
    EXPECT_EQ(h.provedCount, 0);

    *h.answer = true;
    ASSERT_TRUE(Tests::waitUntil([&] { return h.provedCount == 1; }));
    // "paired" is the first frame under the new key.
    ASSERT_EQ(h.atPhone.size(), 3);
    EXPECT_TRUE(LinkMessages::Paired::from(h.atPhone[2].first));
    EXPECT_TRUE(h.atPhone[2].second);
    ASSERT_EQ(h.devices->devices().size(), 1);
    const PairedDevice& stored = h.devices->devices()[0];
    EXPECT_EQ(std::tie(stored.id, stored.name, stored.key),
              std::tuple(phoneID, u"Anna’s phone"_s, h.pairKey));
    h.send(QJsonObject{{u"t"_s, u"start"_s}});
    EXPECT_EQ(h.afterProof.size(), 1);
}

TEST(SessionPair, ARefusalIsDeniedAndClosedLater)
{
    Handshake h;
    h.hello();
    h.pair();
    h.takePairAnswer();
    *h.answer = false;
    ASSERT_TRUE(Tests::waitUntil([&] { return h.atPhone.size() == 3; }));
    EXPECT_TRUE(LinkMessages::Denied::from(h.atPhone[2].first));
    EXPECT_TRUE(h.atPhone[2].second);
    EXPECT_FALSE(h.ended());
    ASSERT_TRUE(Tests::waitUntil([&] { return h.ended(); }, 2s));
    EXPECT_TRUE(h.devices->devices().isEmpty());
    EXPECT_EQ(h.provedCount, 0);
}

TEST(SessionPair, AKnownPhoneGetsTheAnswerUnderItsKey)
{
    Handshake h(true);
    h.hello();
    h.phone->send(LinkMessages::Pair{h.phoneKey.publicKey()}.json());
    h.useStoredKey();
    Tests::drain();
    ASSERT_EQ(h.atPhone.size(), 2);
    EXPECT_TRUE(h.atPhone[1].second);
    EXPECT_TRUE(LinkMessages::PairAnswer::from(h.atPhone[1].first));
}

TEST(SessionRules, AnythingOutOfTurnClosesTheSessionUnproved)
{
    using enum Handshake::Step;
    struct Rule {
        const char* what;
        bool known;
        std::vector<Handshake::Step> steps;
        qsizetype answered; // messages the phone got before the end
    };
    const std::vector<Rule> rules = {
        {"a second hello", false, {hello, hello}, 1},
        {"auth in plain", true, {hello, auth}, 1},
        {"auth before hello", true, {auth}, 0},
        {"auth from a phone the helper does not know", false, {hello, storedKey, auth}, 1},
        {"auth under another key", true, {hello, otherKey, auth}, 1},
        {"pair before hello", false, {pair}, 0},
        {"pair twice", false, {hello, pair, pair}, 2},
        {"pair once authenticated", true, {hello, storedKey, pair}, 1},
        {"a key that agrees on nothing", false, {hello, nothingKey}, 1},
        {"a message while the user decides", false, {hello, pair, plainAuth}, 2},
        {"auth after pair", false, {hello, pair, takeAnswer, auth}, 2},
    };
    for (const auto& rule : rules) {
        Handshake h(rule.known);
        for (const Handshake::Step step : rule.steps) {
            h.run(step);
        }
        EXPECT_TRUE(h.ended()) << rule.what;
        EXPECT_EQ(h.provedCount, 0) << rule.what;
        EXPECT_EQ(h.atPhone.size(), rule.answered) << rule.what;
    }
}

TEST(SessionLifecycle, TheTimerClosesAnUnprovedSessionOnTimeAndClosingReportsOnceMore)
{
    {
        // A coarse timer may fire 5 % early: Qt moves its end to a nearby round time. Started
        // 170 ms past a half second (and set up within 70 ms), a coarse 2.5 s timer would fire
        // 125 ms early. Lateness is left loose, as a busy machine makes any timer late.
        constexpr auto timeout = 2500ms;
        const auto sinceHalfSecond = std::chrono::steady_clock::now().time_since_epoch() % 500ms;
        std::this_thread::sleep_for((670ms - sinceHalfSecond) % 500ms);
        QElapsedTimer clock;
        clock.start();
        Handshake h(false, timeout);
        h.hello();
        h.pair();
        ASSERT_TRUE(Tests::waitUntil([&] { return h.ended(); }, 5s));
        EXPECT_GE(clock.elapsed(), timeout.count()) << "never early";
        EXPECT_LE(clock.elapsed(), timeout.count() + 1000 * Tests::slowdown) << "nor much late";
        EXPECT_EQ(h.closedCount, 1);
        *h.answer = true;
        Tests::spin(50ms);
        EXPECT_EQ(h.provedCount, 0) << "the user answering afterwards changes nothing";
        EXPECT_TRUE(h.devices->devices().isEmpty());
    }
    {
        Handshake h(true, 200ms);
        h.hello();
        h.useStoredKey();
        h.send(LinkMessages::Auth{}.json());
        Tests::spin(400ms);
        EXPECT_FALSE(h.ended()) << "a proved session outlives the timer";
        // Closing after the channel ended reports once more, then never.
        h.phone->close();
        Tests::drain();
        EXPECT_EQ(h.closedCount, 1);
        h.session->close();
        h.session->close();
        EXPECT_EQ(h.closedCount, 2);
    }
    {
        Handshake h;
        std::weak_ptr<LinkSession> weak = h.session;
        h.session.reset();
        EXPECT_TRUE(weak.expired());
        h.hello();
        EXPECT_TRUE(h.atPhone.isEmpty()) << "a dropped session is silent";
        EXPECT_TRUE(Tests::waitUntil([&] { return h.phone->isClosed(); }));
    }
}
