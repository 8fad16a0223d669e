#include "core/HelperLog.h"
#include "core/HelperModel.h"
#include "core/LaunchOptions.h"
#include "core/LinkServer.h"
#include "link/LinkSession.h"
#include "link/TcpConnection.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

struct ModelFixture {
    QTemporaryDir folder;
    HelperModel model;
    HelperModel::Clock::time_point now = HelperModel::Clock::now();
    QList<std::pair<QString, QString>> prompts;
    bool answer = false;

    explicit ModelFixture(QStringList arguments = {})
        : model(LaunchOptions::parse(QStringList{u"ovu-helper"_s} + arguments), u"Test Mac"_s, nullptr,
                std::make_unique<PairedDevices>(folder.path() + u"/helper"_s))
    {
        model.now = [this] { return now; };
    }
    void withPrompt()
    {
        model.askUser = [this](QString name, QString code) -> QCoro::Task<bool> {
            prompts.append({name, code});
            return answerNow(answer);
        };
    }
    static QCoro::Task<bool> answerNow(bool value) { co_return value; }
    bool ask(const QString& name = u"Anna"_s) { return QCoro::waitFor(model.pairingGate(name, u"123456"_s)); }
};

bool logged(const QString& message)
{
    return Tests::logMessages(HelperLog::path()).contains(message);
}

} // namespace

TEST(LaunchOptions, EachOptionIsAnExactArgumentAnywhere)
{
    const auto options =
        LaunchOptions::parse({u"ovu-helper"_s, u"-inputlog"_s, u"-renderui"_s, u"/tmp/x"_s, u"-autoallow"_s});
    EXPECT_TRUE(options.autoAllow);
    EXPECT_TRUE(options.inputLog);
    EXPECT_FALSE(options.rtcLog);
    EXPECT_EQ(options.renderUI, u"/tmp/x"_s);
    EXPECT_FALSE(LaunchOptions::parse({u"ovu-helper"_s, u"-renderui"_s}).renderUI);
    EXPECT_FALSE(LaunchOptions::parse({u"ovu-helper"_s, u"--autoallow"_s, u"-autoallow=1"_s}).autoAllow);
}

TEST(PairingGate, AutoallowSaysYesAtOnceAndLogsTheCode)
{
    ModelFixture f({u"-autoallow"_s});
    f.withPrompt();
    f.model.lastRefusal = f.now; // even right after a refusal
    EXPECT_TRUE(f.ask(u"Anna’s phone"_s));
    EXPECT_TRUE(f.prompts.isEmpty());
    EXPECT_TRUE(logged(u"pairing with Anna’s phone, code 123456: allowed by -autoallow"_s));
}

TEST(PairingGate, WithoutAPromptEveryPairingIsRefused)
{
    ModelFixture f;
    EXPECT_FALSE(f.ask(u"Ben"_s));
    EXPECT_TRUE(logged(u"pairing asked by Ben"_s));
    EXPECT_EQ(f.model.lastRefusal, f.now);
}

TEST(PairingGate, ARefusalTurnsRequestsAwayForThirtySeconds)
{
    ModelFixture f;
    f.withPrompt();
    f.answer = false;
    EXPECT_FALSE(f.ask(u"Cleo"_s));
    const auto refusedAt = f.now;
    EXPECT_EQ(f.prompts.size(), 1);

    f.now = refusedAt + 10s;
    EXPECT_FALSE(f.ask(u"Dan"_s));
    EXPECT_EQ(f.prompts.size(), 1) << "no prompt while the pause runs";
    EXPECT_TRUE(logged(u"pairing asked by Dan: turned away, a request was just refused"_s));
    EXPECT_EQ(f.model.lastRefusal, refusedAt) << "a request turned away does not move the pause";

    f.now = refusedAt + 29900ms;
    EXPECT_FALSE(f.ask(u"Eve"_s));
    EXPECT_EQ(f.prompts.size(), 1);

    f.now = refusedAt + 31s;
    f.answer = true;
    EXPECT_TRUE(f.ask(u"Finn"_s));
    EXPECT_EQ(f.prompts.size(), 2);
    EXPECT_EQ(f.prompts[1], (std::pair{u"Finn"_s, u"123456"_s}));
    EXPECT_EQ(f.model.lastRefusal, refusedAt) << "a yes leaves the refusal time as it was";
}

namespace {

struct ModelPhone {
    QTemporaryDir folder;
    PhoneStore store;
    std::shared_ptr<PhoneLink> link;
    QList<QJsonObject> messages;
    bool proved = false;
    bool denied = false;
    bool closed = false;

    ModelPhone(PhoneLink::Mode mode, const QString& name, const QString& storeFolder = {})
        : store(storeFolder.isEmpty() ? folder.path() + u"/phone"_s : storeFolder)
    {
        link = PhoneLink::create(std::make_unique<TcpConnection>(u"127.0.0.1"_s, LinkServer::preferredPort),
                                 store, name, mode);
        link->onProved = [this] { proved = true; };
        link->onDenied = [this] { denied = true; };
        link->onMessage = [this](const QJsonObject& message) { messages.append(message); };
        link->onClosed = [this](const std::optional<QString>&) { closed = true; };
        link->start();
    }
};

} // namespace

TEST(ModelSessions, AutoallowedPhoneBecomesTheActiveSession)
{
    ModelFixture f({u"-autoallow"_s});
    f.model.startUp();
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    ModelPhone phone(PhoneLink::Mode::pair, u"Gia"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName.has_value(); }));
    EXPECT_EQ(f.model.connectedName, u"Gia"_s);
    EXPECT_TRUE(phone.proved);
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"Gia connected"_s));
    // Nothing to capture with: no displays, no recording, no control.
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    EXPECT_EQ(phone.messages[0], (QJsonObject{{u"t"_s, u"ready"_s},
                                              {u"displays"_s, QJsonArray{}},
                                              {u"control"_s, false},
                                              {u"record"_s, false},
                                              {u"sound"_s, true}}));
    // And a "start" then finds nothing to show; the session stays.
    phone.link->send(QJsonObject{{u"t"_s, u"start"_s}});
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.messages.size() >= 2; }));
    EXPECT_EQ(phone.messages[1].value(u"t"_s), u"bye"_s);
    EXPECT_TRUE(
        phone.messages[1].value(u"reason"_s).toString().startsWith(u"OVU Helper is not allowed to record"_s));
    Tests::spin(400ms);
    EXPECT_FALSE(phone.closed);

    phone.link->close();
    ASSERT_TRUE(Tests::waitUntil([&] { return !f.model.connectedName; }));
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"Gia left"_s));
    EXPECT_FALSE(f.model.activeSession());
}

TEST(ModelSessions, NewestPhoneWinsAndTheFirstHearsWhy)
{
    ModelFixture f({u"-autoallow"_s});
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    ModelPhone first(PhoneLink::Mode::pair, u"First"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName == u"First"_s; }));
    ModelPhone second(PhoneLink::Mode::pair, u"Second"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName == u"Second"_s; }));
    ASSERT_TRUE(Tests::waitUntil([&] { return first.messages.size() >= 2; }));
    EXPECT_EQ(first.messages[0].value(u"t"_s), u"ready"_s);
    EXPECT_EQ(first.messages[1],
              (QJsonObject{{u"t"_s, u"bye"_s}, {u"reason"_s, u"Another phone connected to this Mac."_s}}));
    EXPECT_FALSE(first.closed);
    ASSERT_TRUE(Tests::waitUntil([&] { return first.closed; }, 2s)) << "closed 0.3 s after the bye";
    EXPECT_FALSE(second.closed);
    EXPECT_FALSE(logged(u"First left"_s)) << "an ended session is no longer the active one";
}

TEST(ModelSessions, PhoneByeEndsTheSessionWithoutAByeBack)
{
    ModelFixture f({u"-autoallow"_s});
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    ModelPhone phone(PhoneLink::Mode::pair, u"Hal"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName.has_value(); }));
    phone.link->send(QJsonObject{{u"t"_s, u"bye"_s}});
    ASSERT_TRUE(Tests::waitUntil([&] { return !f.model.connectedName; }));
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 2s));
    // Only the "ready" the phone was sent when it arrived.
    ASSERT_EQ(phone.messages.size(), 1);
    EXPECT_EQ(phone.messages[0].value(u"t"_s), u"ready"_s);
}

TEST(ModelSessions, PairingReachingThePromptIsRefusedUntilThePromptExists)
{
    ModelFixture f;
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    ModelPhone phone(PhoneLink::Mode::pair, u"Ida"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.denied; }));
    EXPECT_FALSE(f.model.connectedName);
    EXPECT_TRUE(f.model.devices().devices().isEmpty());
}
