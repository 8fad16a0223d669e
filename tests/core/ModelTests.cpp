#include "base/HelperLog.h"
#include "base/LaunchOptions.h"
#include "core/HelperModel.h"
#include "core/LinkServer.h"
#include "link/LinkSession.h"
#include "link/TcpConnection.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"
#include "platform/xdg/XdgAutostart.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeCaptureBackend.h"
#include "tests/support/LogReader.h"
#include "tests/support/ModelPhone.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
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

TEST(ModelSessions, AutoallowedPhoneBecomesTheActiveSession)
{
    ModelFixture f({u"-autoallow"_s});
    f.model.startUp();
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Gia"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName.has_value(); }));
    EXPECT_EQ(f.model.connectedName, u"Gia"_s);
    // The helper may know before the phone has read that it is proved.
    EXPECT_TRUE(Tests::waitUntil([&] { return phone.proved; }));
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
    Tests::ModelPhone first(PhoneLink::Mode::pair, u"First"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName == u"First"_s; }));
    Tests::ModelPhone second(PhoneLink::Mode::pair, u"Second"_s);
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
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Hal"_s);
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
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Ida"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.denied; }));
    EXPECT_FALSE(f.model.connectedName);
    EXPECT_TRUE(f.model.devices().devices().isEmpty());
}

namespace {

void clearSettings()
{
    QSettings(u"OVU"_s, u"OVU Helper"_s).clear();
}

} // namespace

TEST(ModelSettings, AllTrueAtFirstAndStoredAcrossRestarts)
{
    clearSettings();
    {
        ModelFixture f;
        EXPECT_TRUE(f.model.acceptsConnections());
        EXPECT_TRUE(f.model.sendsSound());
        EXPECT_TRUE(f.model.mutesWhileConnected());
        f.model.setSendsSound(false);
        f.model.setMutesWhileConnected(false);
        f.model.setAcceptsConnections(false);
    }
    ModelFixture again;
    EXPECT_FALSE(again.model.acceptsConnections());
    EXPECT_FALSE(again.model.sendsSound());
    EXPECT_FALSE(again.model.mutesWhileConnected());
    // Not accepting connections: no listener at start-up; switching on listens.
    again.model.startUp();
    Tests::spin(200ms);
    EXPECT_FALSE(again.model.server().isListening());
    again.model.setAcceptsConnections(true);
    EXPECT_TRUE(Tests::waitUntil([&] { return again.model.server().isListening(); }));
    clearSettings();
}

TEST(ModelSettings, AcceptingNoMoreConnectionsClosesTheSessionWithoutABye)
{
    clearSettings();
    ModelFixture f({u"-autoallow"_s});
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Jo"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName.has_value(); }));
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    f.model.setAcceptsConnections(false);
    EXPECT_FALSE(f.model.connectedName);
    EXPECT_FALSE(f.model.server().isListening());
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 2s));
    ASSERT_EQ(phone.messages.size(), 1) << "only the ready, no bye";
    clearSettings();
}

TEST(ModelSessions, ForgettingTheActivePhoneEndsItsSession)
{
    ModelFixture f({u"-autoallow"_s});
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Kim"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.connectedName.has_value(); }));
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    const QList<PairedDevice> known = f.model.devices().devices();
    ASSERT_EQ(known.size(), 1);
    f.model.forget(known[0]);
    EXPECT_TRUE(f.model.devices().devices().isEmpty());
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.messages.size() >= 2; }));
    EXPECT_EQ(phone.messages[1],
              (QJsonObject{{u"t"_s, u"bye"_s}, {u"reason"_s, u"This Mac no longer allows this phone."_s}}));
    EXPECT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 2s));
}

TEST(ModelPermissions, ControlGrantedWhileAPhoneIsConnectedIsToldToThePhone)
{
    ModelFixture f({u"-autoallow"_s});
    bool control = false;
    int sources = 0;
    f.model.controlCheck = [&] { return control; };
    f.model.makeEventSource = [&] {
        ++sources;
        return std::shared_ptr<EventSink>();
    };
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Lou"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    control = true;
    // Within one poll.
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.messages.size() >= 2; }, 3s));
    EXPECT_EQ(phone.messages[1], (QJsonObject{{u"t"_s, u"control"_s}, {u"on"_s, true}}));
    EXPECT_TRUE(f.model.canControl);
    EXPECT_EQ(sources, 1);
    EXPECT_TRUE(logged(u"control allowed"_s));
    // No change, nothing more.
    Tests::spin(2500ms);
    EXPECT_EQ(phone.messages.size(), 2);
}

TEST(ModelLoginItem, TheDesktopFileComesAndGoesAndAFailureIsShown)
{
    ModelFixture f;
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    auto item = std::make_unique<XdgAutostart>(u"/opt/OVU Helper/ovu-helper"_s);
    const QString path = item->path();
    EXPECT_EQ(path, config + u"/autostart/ovu-helper.desktop"_s);
    f.model.loginItem = std::move(item);

    f.model.setOpensAtLogin(true);
    EXPECT_TRUE(f.model.opensAtLogin);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray entry = file.readAll();
    file.close();
    EXPECT_TRUE(entry.contains("Exec=\"/opt/OVU Helper/ovu-helper\"\n")) << entry.constData();
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\nType=Application\n"));

    // A desktop that turned it off.
    QFile::remove(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(XdgAutostart::entry(u"x"_s) + "Hidden=true\n");
    file.close();
    f.model.checkPermissions();
    EXPECT_FALSE(f.model.opensAtLogin);

    f.model.setOpensAtLogin(false);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(f.model.opensAtLogin);
    EXPECT_FALSE(f.model.message);

    // The autostart folder is a file: the change fails and says so.
    QDir(config).removeRecursively();
    QDir().mkpath(config);
    QFile blocker(config + u"/autostart"_s);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    f.model.setOpensAtLogin(true);
    EXPECT_FALSE(f.model.opensAtLogin);
    ASSERT_TRUE(f.model.message);
    EXPECT_TRUE(f.model.message->startsWith(u"Could not change Open at Login: "_s))
        << f.model.message->toStdString();
    EXPECT_TRUE(Tests::logMessages(HelperLog::path()).filter(u"open at login: "_s).size() == 1);
    QFile::remove(config + u"/autostart"_s);
}

namespace {

struct CountingDisplaySleep : DisplaySleep {
    int* wakes;
    int* holds;
    int* releases;
    CountingDisplaySleep(int* w, int* h, int* r) : wakes(w), holds(h), releases(r) {}
    void wake() override { ++*wakes; }
    bool hold() override
    {
        ++*holds;
        return true;
    }
    void release() override { ++*releases; }
};

} // namespace

TEST(ModelDisplaySleep, HeldOnceForTwoPhonesInARowAndReleasedAfterTheLast)
{
    ModelFixture f({u"-autoallow"_s});
    int wakes = 0;
    int holds = 0;
    int releases = 0;
    f.model.displaySleep = std::make_unique<CountingDisplaySleep>(&wakes, &holds, &releases);
    f.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return f.model.server().isListening(); }));
    Tests::ModelPhone first(PhoneLink::Mode::pair, u"Max"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !first.messages.isEmpty(); }));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(holds, 1);
    EXPECT_TRUE(f.model.holdsDisplayAwake());
    Tests::ModelPhone second(PhoneLink::Mode::pair, u"Noa"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !second.messages.isEmpty(); }));
    ASSERT_TRUE(Tests::waitUntil([&] { return first.closed; }, 2s));
    Tests::spin(100ms);
    EXPECT_EQ(wakes, 2) << "each arriving phone wakes the display";
    EXPECT_EQ(holds, 1) << "never two holds";
    EXPECT_EQ(releases, 0) << "a phone is still connected";
    second.link->send(QJsonObject{{u"t"_s, u"bye"_s}});
    ASSERT_TRUE(Tests::waitUntil([&] { return releases == 1; }, 2s));
    EXPECT_FALSE(f.model.holdsDisplayAwake());
}

namespace {

QList<QJsonObject> ofType(const QList<QJsonObject>& messages, const QString& type)
{
    QList<QJsonObject> found;
    for (const QJsonObject& message : messages) {
        if (message.value(u"t"_s).toString() == type) {
            found.append(message);
        }
    }
    return found;
}

} // namespace

TEST(ModelSharing, CaptureFailuresAreToldAndTheSessionStays)
{
    QTemporaryDir folder;
    auto backend = std::make_unique<Tests::FakeCaptureBackend>();
    Tests::FakeCaptureBackend* fake = backend.get();
    fake->displays = {{1, 1920, 1080}, {2, 1280, 720}};
    fake->mainID = 1;
    const CaptureError gone{u"X11"_s, 3, u"The display is gone."_s};
    fake->startFailure = gone;
    HelperModel model(LaunchOptions::parse({u"ovu-helper"_s, u"-autoallow"_s}), u"Test Mac"_s, nullptr,
                      std::make_unique<PairedDevices>(folder.path() + u"/helper"_s), nullptr,
                      std::move(backend));
    model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Oli"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !ofType(phone.messages, u"ready"_s).isEmpty(); }));
    const QJsonObject ready = ofType(phone.messages, u"ready"_s).first();
    EXPECT_EQ(ready.value(u"displays"_s).toArray().size(), 2);
    EXPECT_TRUE(ready.value(u"record"_s).toBool());

    // The capture cannot start although recording is possible: the reason says why.
    phone.link->send(QJsonObject{{u"t"_s, u"start"_s}});
    ASSERT_TRUE(Tests::waitUntil([&] { return !ofType(phone.messages, u"bye"_s).isEmpty(); }));
    EXPECT_EQ(ofType(phone.messages, u"bye"_s).last().value(u"reason"_s).toString(),
              u"The Mac could not start the screen capture: The display is gone."_s);
    EXPECT_TRUE(logged(u"capture failed: The display is gone."_s));
    EXPECT_EQ(model.sender(), nullptr);
    EXPECT_EQ(model.connectedName, u"Oli"_s) << "the Mac does not end the session";

    // Recording not possible: the not-allowed sentence.
    model.recordCheck = [] { return false; };
    phone.link->send(QJsonObject{{u"t"_s, u"view"_s}, {u"display"_s, 2}});
    ASSERT_TRUE(Tests::waitUntil([&] { return ofType(phone.messages, u"bye"_s).size() == 2; }));
    EXPECT_TRUE(ofType(phone.messages, u"bye"_s)
                    .last()
                    .value(u"reason"_s)
                    .toString()
                    .startsWith(u"OVU Helper is not allowed to record the screen yet."_s));
    EXPECT_FALSE(model.canRecord);

    // It starts; then a change it cannot make is logged and "showing" still answers.
    model.recordCheck = [] { return true; };
    fake->startFailure.reset();
    phone.link->send(QJsonObject{{u"t"_s, u"start"_s}, {u"display"_s, 1}, {u"h"_s, 720}});
    // The first sender of this process loads GStreamer, building its plugin registry in the fresh
    // home (0.7 s on an idle machine, a 5 s wait once ran out while the machine was busy).
    ASSERT_TRUE(Tests::waitUntil([&] { return ofType(phone.messages, u"showing"_s).size() == 1; }, 30s));
    EXPECT_EQ(ofType(phone.messages, u"showing"_s).last().value(u"display"_s).toInt(), 1);
    EXPECT_NE(model.sender(), nullptr);
    EXPECT_TRUE(Tests::waitUntil([&] { return !ofType(phone.messages, u"offer"_s).isEmpty(); }, 10s));
    fake->updateFailure = gone;
    phone.link->send(QJsonObject{{u"t"_s, u"start"_s}, {u"display"_s, 2}});
    ASSERT_TRUE(Tests::waitUntil([&] { return ofType(phone.messages, u"showing"_s).size() == 2; }));
    EXPECT_EQ(ofType(phone.messages, u"showing"_s).last().value(u"display"_s).toInt(), 2);
    EXPECT_TRUE(logged(u"could not change the capture: The display is gone."_s));
    EXPECT_EQ(fake->streamsStarted, 1) << "changed in place, not restarted";
    EXPECT_EQ(ofType(phone.messages, u"offer"_s).size(), 1);
    phone.link->send(QJsonObject{{u"t"_s, u"bye"_s}});
    ASSERT_TRUE(Tests::waitUntil([&] { return model.sender() == nullptr && fake->stops == 1; }, 3s));
}

TEST(ModelPermissions, RecordingTakenAwayIsNoticedAndNotTold)
{
    QTemporaryDir folder;
    auto backend = std::make_unique<Tests::FakeCaptureBackend>();
    backend->displays = {{1, 1920, 1080}};
    backend->mainID = 1;
    HelperModel model(LaunchOptions::parse({u"ovu-helper"_s, u"-autoallow"_s}), u"Test Mac"_s, nullptr,
                      std::make_unique<PairedDevices>(folder.path() + u"/helper"_s), nullptr,
                      std::move(backend));
    bool record = true;
    model.recordCheck = [&] { return record; };
    model.startUp();
    EXPECT_TRUE(model.canRecord);
    ASSERT_TRUE(Tests::waitUntil([&] { return model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Pat"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }, 5s));
    const qsizetype before = phone.messages.size();
    record = false;
    EXPECT_TRUE(Tests::waitUntil([&] { return !model.canRecord; }, 3s));
    Tests::spin(300ms);
    EXPECT_EQ(phone.messages.size(), before) << "nothing goes to the phone about recording";
}

TEST(ModelPermissions, AskingShowsTheWayOnlyWhileThePermissionIsMissingAndChangesNothing)
{
    ModelFixture f;
    bool control = false;
    bool record = false;
    int controlPages = 0;
    int recordPages = 0;
    f.model.controlCheck = [&] { return control; };
    f.model.recordCheck = [&] { return record; };
    f.model.openControlSettings = [&] { ++controlPages; };
    f.model.openRecordingSettings = [&] { ++recordPages; };
    f.model.askForControl();
    f.model.askForRecording();
    EXPECT_EQ(controlPages, 1);
    EXPECT_EQ(recordPages, 1);
    control = true;
    record = true;
    f.model.askForControl();
    f.model.askForRecording();
    EXPECT_EQ(controlPages, 1);
    EXPECT_EQ(recordPages, 1);
    EXPECT_FALSE(f.model.canControl) << "the next poll picks a grant up, not the asking";
    EXPECT_FALSE(f.model.canRecord);
}
