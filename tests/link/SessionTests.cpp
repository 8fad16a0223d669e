#include "link/Base64.h"
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
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray storedKey = QByteArray(32, '\x5a');
const QString phoneID = u"phone-1"_s;

struct PhoneMessage {
    QJsonObject message;
    bool proved = false;
};

QCoro::Task<bool> waitForAnswer(std::shared_ptr<std::optional<bool>> answer)
{
    while (!*answer) {
        co_await QCoro::sleepFor(1ms);
    }
    co_return **answer;
}

// A session on the Mac's side and a bare phone channel on the other end of an in-memory
// connection; the test plays the phone's part message by message.
struct Handshake {
    QTemporaryDir folder;
    std::unique_ptr<PairedDevices> devices;
    std::shared_ptr<LinkSession> session;
    std::shared_ptr<OVULinkChannel> phone;
    MemoryConnection* phoneConnection = nullptr;
    QList<PhoneMessage> atPhone;
    QList<std::pair<QString, QString>> asked;
    std::shared_ptr<std::optional<bool>> answer = std::make_shared<std::optional<bool>>();
    int provedCount = 0;
    int closedCount = 0;
    QList<QJsonObject> afterProof;
    QByteArray phoneNonce = QByteArray(16, '\x11');

    explicit Handshake(bool known = false, std::chrono::milliseconds timeout = LinkSession::proofTimeout)
    {
        devices = std::make_unique<PairedDevices>(folder.path() + u"/OVU Helper"_s);
        if (known) {
            devices->add(PairedDevice{phoneID, u"Known"_s, storedKey, std::chrono::system_clock::now()});
        }
        auto [mac, far] = MemoryConnection::makePair();
        phoneConnection = far.get();
        auto answerState = answer;
        session = LinkSession::create(
            std::move(mac), *devices, u"Test Mac"_s,
            [this, answerState](QString name, QString code) {
                asked.append({name, code});
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

    void send(const QJsonObject& message)
    {
        phone->send(message);
        Tests::drain();
    }
    void hello(const QJsonObject& extra = {})
    {
        QJsonObject message{
            {u"t"_s, u"hello"_s}, {u"id"_s, phoneID}, {u"nonce"_s, Base64::encode(phoneNonce)}};
        for (auto it = extra.begin(); it != extra.end(); ++it) {
            message.insert(it.key(), it.value());
        }
        send(message);
    }
    QJsonObject helperHello() const { return atPhone.value(0).message; }
    QByteArray helperNonce() const { return *Base64::decode(helperHello().value(u"nonce"_s).toString()); }
    bool ended() const { return session->channel->isClosed(); }
};

QString repeated(const QString& unit, int count)
{
    QString out;
    for (int i = 0; i < count; ++i) {
        out += unit;
    }
    return out;
}

} // namespace

TEST(SessionHello, HelperGreetsWithItsIdentityNonceAndCommitment)
{
    Handshake h;
    h.hello({{u"name"_s, u"Anna’s phone"_s}});
    ASSERT_EQ(h.atPhone.size(), 1);
    const QJsonObject hello = h.helperHello();
    EXPECT_FALSE(h.atPhone[0].proved);
    EXPECT_EQ(hello.value(u"t"_s).toString(), u"hello"_s);
    EXPECT_EQ(hello.value(u"v"_s).toInt(), 1);
    EXPECT_EQ(hello.value(u"id"_s).toString(), h.devices->helperID());
    EXPECT_EQ(hello.value(u"name"_s).toString(), u"Test Mac"_s);
    EXPECT_EQ(h.helperNonce().size(), 16);
    EXPECT_EQ(hello.value(u"known"_s), QJsonValue(false));
    EXPECT_EQ(Base64::decode(hello.value(u"commit"_s).toString())->size(), 32);
    EXPECT_EQ(h.session->deviceID, phoneID);
    EXPECT_EQ(h.session->deviceName, u"Anna’s phone"_s);
    EXPECT_EQ(h.session->phoneNonce(), h.phoneNonce);
    EXPECT_FALSE(h.ended());
}

TEST(SessionHello, SecondHelloClosesEvenWhenIdentical)
{
    Handshake h;
    h.hello();
    h.hello();
    EXPECT_TRUE(h.ended());
    EXPECT_EQ(h.closedCount, 1);
    EXPECT_EQ(h.atPhone.size(), 1);
}

TEST(SessionHello, IdLengthCountsUserPerceivedCharacters)
{
    // "e" with a combining acute accent: one character, two UTF-16 units.
    const QString accented = u"e\u0301"_s;
    {
        Handshake h;
        h.send({{u"t"_s, u"hello"_s},
                {u"id"_s, repeated(accented, 64)},
                {u"nonce"_s, Base64::encode(h.phoneNonce)}});
        EXPECT_FALSE(h.ended());
        EXPECT_EQ(h.session->deviceID, repeated(accented, 64));
    }
    for (const QJsonValue& id : {QJsonValue(repeated(u"x"_s, 65)), QJsonValue(repeated(accented, 65)),
                                 QJsonValue(u""_s), QJsonValue(7), QJsonValue()}) {
        Handshake h;
        QJsonObject message{{u"t"_s, u"hello"_s}, {u"nonce"_s, Base64::encode(h.phoneNonce)}};
        if (!id.isNull()) {
            message.insert(u"id"_s, id);
        }
        h.send(message);
        EXPECT_TRUE(h.ended()) << QJsonDocument(message).toJson().constData();
        EXPECT_TRUE(h.atPhone.isEmpty());
    }
}

TEST(SessionHello, NonceMustBeSixteenStrictBase64Bytes)
{
    for (const QJsonValue& nonce :
         {QJsonValue(Base64::encode(QByteArray(15, 'n'))), QJsonValue(Base64::encode(QByteArray(17, 'n'))),
          QJsonValue(Base64::encode(QByteArray(16, 'n')).chopped(2)), // padding missing
          QJsonValue(u"AAAAAAAAAAAAAAAAAAAA AA=="_s), QJsonValue(16), QJsonValue()}) {
        Handshake h;
        QJsonObject message{{u"t"_s, u"hello"_s}, {u"id"_s, phoneID}};
        if (!nonce.isNull()) {
            message.insert(u"nonce"_s, nonce);
        }
        h.send(message);
        EXPECT_TRUE(h.ended()) << QJsonDocument(message).toJson().constData();
    }
}

TEST(SessionHello, NameIsCutToSixtyCharactersOrDefaults)
{
    {
        Handshake h;
        h.hello({{u"name"_s, repeated(u"ab"_s, 40)}});
        EXPECT_EQ(h.session->deviceName, repeated(u"ab"_s, 30));
    }
    {
        Handshake h;
        h.hello({{u"name"_s, repeated(u"👩‍💻"_s, 61)}});
        EXPECT_EQ(h.session->deviceName, repeated(u"👩‍💻"_s, 60));
    }
    for (const QJsonValue& name : {QJsonValue(u""_s), QJsonValue(3), QJsonValue()}) {
        Handshake h;
        h.hello(name.isNull() ? QJsonObject{} : QJsonObject{{u"name"_s, name}});
        EXPECT_EQ(h.session->deviceName, u"A phone"_s);
    }
}

TEST(SessionHello, MessagesOtherThanTheHandshakeClose)
{
    for (const QJsonObject& message :
         {QJsonObject{}, QJsonObject{{u"t"_s, u"start"_s}}, QJsonObject{{u"t"_s, 1}}}) {
        Handshake h;
        h.send(message);
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.closedCount, 1);
    }
}

TEST(SessionAuth, KnownPhoneProvesItselfWithTheStoredKey)
{
    Handshake h(true);
    h.hello();
    EXPECT_EQ(h.helperHello().value(u"known"_s), QJsonValue(true));
    h.phone->installKey(OVULink::sessionKey(storedKey, h.phoneNonce, h.helperNonce()));
    h.send({{u"t"_s, u"auth"_s}});
    EXPECT_EQ(h.provedCount, 1);
    EXPECT_TRUE(h.session->isProved);
    EXPECT_TRUE(h.session->channel->requiresProof);

    // After proof every authenticated message goes to the owner, a "hello" too.
    h.send({{u"t"_s, u"hello"_s}});
    h.send({{u"t"_s, u"start"_s}});
    ASSERT_EQ(h.afterProof.size(), 2);
    EXPECT_EQ(h.afterProof[0].value(u"t"_s).toString(), u"hello"_s);
    // The Mac's first frame after proof carries counter 0.
    h.session->channel->send({{u"t"_s, u"ready"_s}});
    Tests::drain();
    ASSERT_EQ(h.atPhone.size(), 2);
    EXPECT_TRUE(h.atPhone[1].proved);
    EXPECT_EQ(h.session->channel->sendCounter, 1u);
}

TEST(SessionAuth, PlainFrameAfterProofEndsTheChannel)
{
    Handshake h(true);
    h.hello();
    h.phone->installKey(OVULink::sessionKey(storedKey, h.phoneNonce, h.helperNonce()));
    h.send({{u"t"_s, u"auth"_s}});
    h.phoneConnection->send(Tests::frame(0x00, R"({"t":"start"})"));
    Tests::drain();
    EXPECT_TRUE(h.ended());
    EXPECT_TRUE(h.afterProof.isEmpty());
    EXPECT_EQ(h.closedCount, 1);
}

TEST(SessionAuth, AuthMustBeAuthenticatedAndFollowAHello)
{
    {
        Handshake h(true);
        h.hello();
        h.send({{u"t"_s, u"auth"_s}}); // plain
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.provedCount, 0);
    }
    {
        Handshake h(true);
        h.send({{u"t"_s, u"auth"_s}});
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.provedCount, 0);
    }
    {
        // A phone the Mac does not know has no key to authenticate with: the channel cannot check.
        Handshake h;
        h.hello();
        h.phone->installKey(OVULink::sessionKey(storedKey, h.phoneNonce, h.helperNonce()));
        h.send({{u"t"_s, u"auth"_s}});
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.provedCount, 0);
        EXPECT_EQ(h.closedCount, 1);
    }
    {
        // A wrong key fails the proof.
        Handshake h(true);
        h.hello();
        h.phone->installKey(OVULink::sessionKey(QByteArray(32, '\x01'), h.phoneNonce, h.helperNonce()));
        h.send({{u"t"_s, u"auth"_s}});
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.provedCount, 0);
    }
}

namespace {

// The phone's half of a pairing, computed on its own from the messages.
struct PhonePairing {
    X25519KeyPair key = *X25519KeyPair::generate();
    QString code;
    QByteArray pairKey;

    void send(Handshake& h) { h.send({{u"t"_s, u"pair"_s}, {u"pub"_s, Base64::encode(key.publicKey())}}); }

    // Checks the Mac's answer against its commitment and installs the new session key.
    void answer(Handshake& h, const QJsonObject& helperPair)
    {
        const QByteArray helperKey = *Base64::decode(helperPair.value(u"pub"_s).toString());
        const QByteArray salt = *Base64::decode(helperPair.value(u"salt"_s).toString());
        ASSERT_EQ(salt.size(), 16);
        EXPECT_EQ(*Base64::decode(h.helperHello().value(u"commit"_s).toString()),
                  OVULink::commitment(helperKey, salt));
        const QByteArray secret = *key.sharedSecret(helperKey);
        code = OVULink::comparisonCode(secret, key.publicKey(), helperKey);
        pairKey = OVULink::pairKey(secret, key.publicKey(), helperKey);
        h.phone->installKey(OVULink::sessionKey(pairKey, h.phoneNonce, h.helperNonce()));
        h.phone->requiresProof = true;
    }
};

} // namespace

TEST(SessionPair, AllowedPairingStoresThePhoneAndProvesTheSession)
{
    Handshake h;
    h.hello({{u"name"_s, u"Anna’s phone"_s}});
    PhonePairing phone;
    phone.send(h);
    ASSERT_EQ(h.atPhone.size(), 2);
    EXPECT_FALSE(h.atPhone[1].proved);
    EXPECT_EQ(h.atPhone[1].message.value(u"t"_s).toString(), u"pair"_s);
    phone.answer(h, h.atPhone[1].message);
    ASSERT_EQ(h.asked.size(), 1);
    EXPECT_EQ(h.asked[0].first, u"Anna’s phone"_s);
    EXPECT_EQ(h.asked[0].second, phone.code);
    EXPECT_EQ(h.asked[0].second.size(), 6);
    EXPECT_TRUE(h.session->pairing());
    EXPECT_EQ(h.provedCount, 0);

    const auto before = std::chrono::system_clock::now();
    *h.answer = true;
    ASSERT_TRUE(Tests::waitUntil([&] { return h.provedCount == 1; }));
    // "paired" is the first frame under the new key (the phone's channel checked counter 0).
    ASSERT_EQ(h.atPhone.size(), 3);
    EXPECT_TRUE(h.atPhone[2].proved);
    EXPECT_EQ(h.atPhone[2].message.value(u"t"_s).toString(), u"paired"_s);
    EXPECT_EQ(h.phone->receiveCounter, 1u);
    EXPECT_TRUE(h.session->isProved);

    ASSERT_EQ(h.devices->devices().size(), 1);
    const PairedDevice& stored = h.devices->devices()[0];
    EXPECT_EQ(stored.id, phoneID);
    EXPECT_EQ(stored.name, u"Anna’s phone"_s);
    EXPECT_EQ(stored.key, phone.pairKey);
    EXPECT_EQ(stored.key.size(), 32);
    EXPECT_GE(stored.pairedAt, before);
    EXPECT_LE(stored.pairedAt, std::chrono::system_clock::now());

    // The phone now talks under the new key.
    h.send({{u"t"_s, u"start"_s}});
    EXPECT_EQ(h.afterProof.size(), 1);
}

TEST(SessionPair, RefusedPairingSendsDeniedAndClosesLater)
{
    Handshake h;
    h.hello();
    PhonePairing phone;
    phone.send(h);
    phone.answer(h, h.atPhone[1].message);
    *h.answer = false;
    ASSERT_TRUE(Tests::waitUntil([&] { return h.atPhone.size() == 3; }));
    EXPECT_EQ(h.atPhone[2].message.value(u"t"_s).toString(), u"denied"_s);
    EXPECT_TRUE(h.atPhone[2].proved);
    EXPECT_FALSE(h.ended());
    ASSERT_TRUE(Tests::waitUntil([&] { return h.ended(); }, 2s));
    EXPECT_EQ(h.closedCount, 1);
    EXPECT_TRUE(h.devices->devices().isEmpty());
    EXPECT_EQ(h.provedCount, 0);
}

TEST(SessionPair, KnownPhoneGetsThePairAnswerUnderItsSessionKey)
{
    Handshake h(true);
    h.hello();
    PhonePairing phone;
    // "pair" goes out plain; the known phone's key then checks the answer.
    h.phone->send({{u"t"_s, u"pair"_s}, {u"pub"_s, Base64::encode(phone.key.publicKey())}});
    h.phone->installKey(OVULink::sessionKey(storedKey, h.phoneNonce, h.helperNonce()));
    Tests::drain();
    ASSERT_EQ(h.atPhone.size(), 2);
    EXPECT_TRUE(h.atPhone[1].proved);
    EXPECT_EQ(h.atPhone[1].message.value(u"t"_s).toString(), u"pair"_s);
}

TEST(SessionPair, PairRulesCloseTheSession)
{
    {
        Handshake h; // twice
        h.hello();
        PhonePairing phone;
        phone.send(h);
        phone.send(h); // plain, while proof is required: the channel ends
        EXPECT_TRUE(h.ended());
    }
    {
        Handshake h(true); // authenticated
        h.hello();
        h.phone->installKey(OVULink::sessionKey(storedKey, h.phoneNonce, h.helperNonce()));
        h.send({{u"t"_s, u"pair"_s}, {u"pub"_s, Base64::encode(X25519KeyPair::generate()->publicKey())}});
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.atPhone.size(), 1);
    }
    {
        Handshake h; // before hello
        PhonePairing phone;
        phone.send(h);
        EXPECT_TRUE(h.ended());
    }
    for (const QJsonValue& pub :
         {QJsonValue(Base64::encode(QByteArray(31, 'k'))), QJsonValue(u"not base64"_s),
          QJsonValue(Base64::encode(QByteArray(32, '\0'))), QJsonValue(1), QJsonValue()}) {
        Handshake h;
        h.hello();
        QJsonObject message{{u"t"_s, u"pair"_s}};
        if (!pub.isNull()) {
            message.insert(u"pub"_s, pub);
        }
        h.send(message);
        EXPECT_TRUE(h.ended()) << QJsonDocument(message).toJson().constData();
        EXPECT_EQ(h.atPhone.size(), 1) << "nothing is sent after the hello";
        EXPECT_FALSE(h.session->pairing());
    }
}

TEST(SessionPair, AnyMessageWhileTheUserDecidesEndsTheSession)
{
    {
        Handshake h;
        h.hello();
        PhonePairing phone;
        phone.send(h);
        h.phoneConnection->send(Tests::frame(0x00, R"({"t":"auth"})"));
        Tests::drain();
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.closedCount, 1);
    }
    {
        Handshake h;
        h.hello();
        PhonePairing phone;
        phone.send(h);
        phone.answer(h, h.atPhone[1].message);
        h.send({{u"t"_s, u"auth"_s}});
        EXPECT_TRUE(h.ended());
        EXPECT_EQ(h.closedCount, 1);
    }
}

TEST(SessionPair, AnswerAfterThePhoneLeftStoresNothing)
{
    Handshake h;
    h.hello();
    PhonePairing phone;
    phone.send(h);
    phone.answer(h, h.atPhone[1].message);
    h.phone->close();
    Tests::drain();
    EXPECT_TRUE(h.ended());
    EXPECT_EQ(h.closedCount, 1);
    *h.answer = true;
    Tests::spin(50ms);
    EXPECT_TRUE(h.devices->devices().isEmpty());
    EXPECT_EQ(h.provedCount, 0);
    EXPECT_FALSE(h.session->isProved);
}

TEST(SessionLifecycle, CloseAfterTheChannelEndedReportsOnceMoreThenNever)
{
    Handshake h;
    h.phone->close();
    Tests::drain();
    EXPECT_EQ(h.closedCount, 1);
    EXPECT_TRUE(h.session->onClosed);
    h.session->close();
    EXPECT_EQ(h.closedCount, 2);
    EXPECT_FALSE(h.session->onClosed);
    h.session->close();
    EXPECT_EQ(h.closedCount, 2);
}

TEST(SessionLifecycle, UnprovedSessionIsClosedWhenTheTimeRunsOut)
{
    // Long enough for a coarse timer (Qt makes timers of 2 s and more coarse: 5 % either way).
    constexpr auto timeout = 2500ms;
    QElapsedTimer clock;
    clock.start();
    Handshake h(false, timeout);
    h.hello();
    PhonePairing phone;
    phone.send(h);
    EXPECT_FALSE(h.ended());
    ASSERT_TRUE(Tests::waitUntil([&] { return h.ended(); }, 5s));
    EXPECT_GE(clock.elapsed(), timeout.count()) << "never early";
    EXPECT_LE(clock.elapsed(), timeout.count() + 60 * Tests::slowdown) << "nor late";
    EXPECT_EQ(h.closedCount, 1);
    // The user answering afterwards changes nothing.
    *h.answer = true;
    Tests::spin(50ms);
    EXPECT_EQ(h.provedCount, 0);
    EXPECT_TRUE(h.devices->devices().isEmpty());
}

TEST(SessionLifecycle, ProvedSessionOutlivesTheTimer)
{
    Handshake h(true, 200ms);
    h.hello();
    h.phone->installKey(OVULink::sessionKey(storedKey, h.phoneNonce, h.helperNonce()));
    h.send({{u"t"_s, u"auth"_s}});
    Tests::spin(400ms);
    EXPECT_FALSE(h.ended());
    EXPECT_EQ(h.closedCount, 0);
}

TEST(SessionLifecycle, DroppedSessionIsSilenced)
{
    Handshake h;
    std::weak_ptr<LinkSession> weak = h.session;
    h.session.reset();
    EXPECT_TRUE(weak.expired());
    h.hello();
    EXPECT_TRUE(h.atPhone.isEmpty());
    // Its connection went with it: the phone sees the end of the stream.
    EXPECT_TRUE(Tests::waitUntil([&] { return h.phone->isClosed(); }));
}
