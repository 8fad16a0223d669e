// The model with a desktop the test controls and phones of the test's own over real TCP.
#include "base/HelperLog.h"
#include "base/LaunchOptions.h"
#include "core/HelperModel.h"
#include "core/LinkServer.h"
#include "link/LinkSession.h"
#include "platform/xdg/XdgAutostart.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/ModelPhone.h"
#include "tests/support/TestDesktop.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace M = LinkMessages;

namespace {

// The launch options, on settings as a first launch has them unless told to keep them.
LaunchOptions launch(const QStringList& arguments, bool keepSettings)
{
    if (!keepSettings) {
        QSettings(u"OVU"_s, u"OVU Helper"_s).clear();
    }
    return LaunchOptions::parse(QStringList{u"ovu-helper"_s} + arguments);
}

struct Fixture {
    QTemporaryDir folder;
    Tests::TestDesktop desktop;
    HelperModel model;

    explicit Fixture(QStringList arguments = {u"-autoallow"_s}, bool keepSettings = false)
        : model(launch(arguments, keepSettings), desktop.platform(),
                std::make_unique<PairedDevices>(folder.path() + u"/helper"_s))
    {}
    void start()
    {
        model.startUp();
        ASSERT_TRUE(Tests::waitUntil([&] { return model.server().isListening(); }));
    }
};

bool logged(const QString& message)
{
    return Tests::logMessages(HelperLog::path()).contains(message);
}

QList<QJsonObject> ofType(const QList<QJsonObject>& messages, const QString& type)
{
    QList<QJsonObject> found;
    for (const QJsonObject& message : messages) {
        if (M::typeOf(message) == type) {
            found.append(message);
        }
    }
    return found;
}

QCoro::Task<bool> answerNow(bool value)
{
    co_return value;
}

} // namespace

TEST(LaunchOptions, EachOptionIsAnExactArgumentAnywhere)
{
    const auto options =
        LaunchOptions::parse({u"ovu-helper"_s, u"-inputlog"_s, u"-renderui"_s, u"/tmp/x"_s, u"-autoallow"_s});
    EXPECT_TRUE(options.autoAllow && options.inputLog && !options.rtcLog);
    EXPECT_EQ(options.renderUI, u"/tmp/x"_s);
    EXPECT_FALSE(LaunchOptions::parse({u"ovu-helper"_s, u"--autoallow"_s, u"-autoallow=1"_s}).autoAllow);
}

TEST(PairingGate, AutoallowSaysYesAndARefusalTurnsRequestsAwayForThirtySeconds)
{
    PairingGate automatic(true);
    automatic.lastRefusal = PairingGate::Clock::now();
    EXPECT_TRUE(QCoro::waitFor(automatic.ask(u"Anna’s phone"_s, u"123456"_s)))
        << "even right after a refusal";
    EXPECT_TRUE(logged(u"pairing with Anna’s phone, code 123456: allowed by -autoallow"_s));

    PairingGate gate(false);
    auto now = PairingGate::Clock::now();
    gate.now = [&] { return now; };
    EXPECT_FALSE(QCoro::waitFor(gate.ask(u"Ben"_s, u"1"_s))) << "no prompt yet";
    QList<QString> asked;
    bool answer = false;
    gate.askUser = [&](QString name, QString) {
        asked.append(name);
        return answerNow(answer);
    };
    gate.lastRefusal.reset();
    EXPECT_FALSE(QCoro::waitFor(gate.ask(u"Cleo"_s, u"1"_s)));
    const auto refusedAt = now;
    for (const auto later : {10s, 29s}) {
        now = refusedAt + later;
        EXPECT_FALSE(QCoro::waitFor(gate.ask(u"Dan"_s, u"1"_s)));
    }
    EXPECT_EQ(asked, QList<QString>{u"Cleo"_s}) << "no prompt while the pause runs";
    EXPECT_TRUE(logged(u"pairing asked by Dan: turned away, a request was just refused"_s));
    EXPECT_EQ(gate.lastRefusal, refusedAt) << "a request turned away does not move the pause";
    now = refusedAt + 31s;
    answer = true;
    EXPECT_TRUE(QCoro::waitFor(gate.ask(u"Finn"_s, u"1"_s)));
    EXPECT_EQ(gate.lastRefusal, refusedAt) << "a yes leaves the refusal as it was";
}

TEST(ModelSessions, APhoneArrivesIsToldTheDisplaysAndTheNewestPhoneWins)
{
    Fixture f;
    f.start();
    Tests::ModelPhone first(PhoneLink::Mode::pair, u"First"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !first.messages.isEmpty(); }));
    EXPECT_EQ(f.model.connectedName, u"First"_s);
    EXPECT_TRUE(logged(u"First connected"_s));
    EXPECT_EQ(first.messages[0],
              (M::Ready{{{1, u"Display 1"_s, 1920, 1080, 1920, 1080, true}}, true, true, true}.json()));
    EXPECT_EQ(f.desktop.wakes, 1);
    EXPECT_EQ(f.desktop.holds, 1);

    Tests::ModelPhone second(PhoneLink::Mode::pair, u"Second"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return first.messages.size() >= 2; }));
    EXPECT_EQ(first.messages[1], M::Bye{u"Another phone connected to this Mac."_s}.json());
    EXPECT_FALSE(first.closed);
    ASSERT_TRUE(Tests::waitUntil([&] { return first.closed; }, 2s)) << "closed 0.3 s after the bye";
    EXPECT_EQ(f.model.connectedName, u"Second"_s);
    EXPECT_FALSE(logged(u"First left"_s)) << "an ended session is no longer the active one";
    Tests::spin(100ms);
    EXPECT_EQ(f.desktop.wakes, 2) << "each arriving phone wakes the display";
    EXPECT_EQ(f.desktop.holds, 1) << "never two holds";
    EXPECT_EQ(f.desktop.releases, 0) << "a phone is still connected";

    // The phone's own "bye" ends its session without a "bye" back; the display may sleep again.
    second.link->send(M::Bye{}.json());
    ASSERT_TRUE(Tests::waitUntil([&] { return second.closed && f.desktop.releases == 1; }, 3s));
    EXPECT_EQ(ofType(second.messages, u"bye"_s).size(), 0);
    EXPECT_FALSE(f.model.connectedName);
}

TEST(ModelSessions, ForgettingTheActivePhoneOrStoppingConnectionsEndsItsSession)
{
    Fixture f;
    f.start();
    {
        Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Kim"_s);
        ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
        f.model.forget(f.model.devices().devices().value(0));
        EXPECT_TRUE(f.model.devices().devices().isEmpty());
        ASSERT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 2s));
        EXPECT_EQ(phone.messages.last(), M::Bye{u"This Mac no longer allows this phone."_s}.json());
    }
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Jo"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    f.model.setAcceptsConnections(false);
    EXPECT_FALSE(f.model.connectedName);
    EXPECT_FALSE(f.model.server().isListening());
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 2s));
    EXPECT_EQ(phone.messages.size(), 1) << "only the ready, no bye";
}

TEST(ModelSettings, AllTrueAtFirstStoredAndActedOnAtTheNextStart)
{
    {
        Fixture f;
        EXPECT_TRUE(f.model.acceptsConnections() && f.model.sendsSound() && f.model.mutesWhileConnected());
        f.model.setSendsSound(false);
        f.model.setMutesWhileConnected(false);
        f.model.setAcceptsConnections(false);
    }
    Fixture again(QStringList{}, true);
    EXPECT_FALSE(again.model.acceptsConnections() || again.model.sendsSound() ||
                 again.model.mutesWhileConnected());
    again.model.startUp();
    Tests::spin(200ms);
    EXPECT_FALSE(again.model.server().isListening());
    again.model.setAcceptsConnections(true);
    EXPECT_TRUE(Tests::waitUntil([&] { return again.model.server().isListening(); }));
}

TEST(ModelSharing, ViewRequestsStartMoveAndFailAsThePhoneIsTold)
{
    Fixture f;
    f.desktop.capture->displays = {{1, 1920, 1080, 1920, 1080}, {2, 1280, 720, 1280, 720}};
    f.desktop.capture->startFailure = u"The display is gone."_s;
    f.start();
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Oli"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    const auto byes = [&] { return ofType(phone.messages, u"bye"_s); };

    // The capture cannot start although recording is possible: the reason says why.
    phone.link->send(M::Show{}.json());
    ASSERT_TRUE(Tests::waitUntil([&] { return byes().size() == 1; }));
    EXPECT_EQ(byes()[0],
              M::Bye{u"The Mac could not start the screen capture: The display is gone."_s}.json());
    EXPECT_TRUE(logged(u"capture failed: The display is gone."_s));
    EXPECT_FALSE(f.model.sharing().isSharing());
    // Recording not possible: the not-allowed sentence; the session stays either way.
    f.desktop.record = false;
    phone.link->send(M::Show{2, {}}.json());
    ASSERT_TRUE(Tests::waitUntil([&] { return byes().size() == 2; }));
    EXPECT_TRUE(M::Bye::from(byes()[1])->reason->startsWith(
        u"OVU Helper is not allowed to record the screen yet."_s));
    EXPECT_FALSE(f.model.canRecord);
    EXPECT_EQ(f.model.connectedName, u"Oli"_s);

    // It starts at the height asked for; any whole height is held to 240…4320; another display
    // moves the capture in place.
    f.desktop.record = true;
    f.desktop.capture->startFailure.reset();
    phone.link->send(M::Show{1, 720}.json());
    // The first sender of this process loads GStreamer, building its registry in the fresh home.
    ASSERT_TRUE(Tests::waitUntil([&] { return ofType(phone.messages, u"showing"_s).size() == 1; }, 30s));
    EXPECT_EQ(f.desktop.capture->lastTarget->height, 720);
    EXPECT_TRUE(Tests::waitUntil([&] { return !ofType(phone.messages, u"offer"_s).isEmpty(); }, 10s));
    for (const auto& [height, expected] :
         std::vector<std::pair<double, int>>{{1e10, 4320}, {-5, 240}, {900, 900}}) {
        phone.link->send(M::Show{{}, height}.json());
        ASSERT_TRUE(Tests::waitUntil([&, want = expected] { return f.model.targetHeight == want; }))
            << height;
    }
    f.desktop.capture->updateFailure = u"The display is gone."_s;
    phone.link->send(M::Show{2, {}}.json());
    ASSERT_TRUE(Tests::waitUntil([&] { return ofType(phone.messages, u"showing"_s).size() == 5; }));
    EXPECT_EQ(M::Showing::from(phone.messages.last())->display, 2u);
    EXPECT_TRUE(logged(u"could not change the capture: The display is gone."_s));
    EXPECT_EQ(f.desktop.capture->streamsStarted, 1) << "changed in place, not restarted";
    EXPECT_EQ(ofType(phone.messages, u"offer"_s).size(), 1);

    // A change of the displays reaches the phone once.
    f.desktop.capture->displays.push_back({3, 800, 600, 800, 600});
    f.desktop.capture->onScreensChanged();
    ASSERT_TRUE(Tests::waitUntil([&] { return !ofType(phone.messages, u"displays"_s).isEmpty(); }));
    EXPECT_EQ(M::Displays::from(ofType(phone.messages, u"displays"_s)[0])->displays.size(), 3);

    phone.link->send(M::Bye{}.json());
    ASSERT_TRUE(Tests::waitUntil(
        [&] { return !f.model.sharing().isSharing() && f.desktop.capture->stops == 1; }, 3s));
}

TEST(ModelPermissions, ControlNewsReachThePhoneRecordingNewsDoNotAndAskingOpensOnlyWhatIsMissing)
{
    Fixture f;
    f.desktop.control = false;
    f.start();
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"Lou"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return !phone.messages.isEmpty(); }));
    EXPECT_FALSE(M::Ready::from(phone.messages[0])->control);
    f.model.askForControl();
    f.model.askForRecording();
    EXPECT_EQ(f.desktop.controlPages, 1);
    EXPECT_EQ(f.desktop.recordingPages, 0) << "recording is allowed";
    EXPECT_FALSE(f.model.canControl) << "asking changes nothing; the poll does";

    f.desktop.control = true;
    f.desktop.record = false;
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.messages.size() >= 2; }, 3s)) << "within one poll";
    EXPECT_EQ(phone.messages[1], M::Control{true}.json());
    EXPECT_EQ(f.desktop.eventSinks, 1) << "a fresh event sink for the granted control";
    EXPECT_TRUE(logged(u"control allowed"_s));
    EXPECT_TRUE(Tests::waitUntil([&] { return !f.model.canRecord; }, 3s));
    Tests::spin(2500ms);
    EXPECT_EQ(phone.messages.size(), 2) << "nothing about recording, nothing without a change";
}

TEST(ModelLoginItem, TheRealStateIsShownAfterEveryAttemptAndAFailureIsTold)
{
    Fixture f;
    f.model.setOpensAtLogin(true);
    EXPECT_TRUE(f.model.opensAtLogin);
    f.desktop.loginItem.enabled = false; // the desktop turned it off
    f.model.checkPermissions();
    EXPECT_FALSE(f.model.opensAtLogin);
    f.desktop.loginItem.failure = u"The folder is a file."_s;
    f.model.setOpensAtLogin(true);
    EXPECT_FALSE(f.model.opensAtLogin);
    EXPECT_EQ(f.model.message, u"Could not change Open at Login: The folder is a file."_s);
    EXPECT_TRUE(logged(u"open at login: The folder is a file."_s));

    // The XDG entry itself: a desktop file that starts the program, and what turns it off.
    XdgAutostart item(u"/opt/OVU Helper/ovu-helper"_s);
    EXPECT_EQ(item.path(), QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                               u"/autostart/ovu-helper.desktop"_s);
    ASSERT_TRUE(item.enable().ok());
    QFile file(item.path());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray entry = file.readAll();
    file.close();
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\nType=Application\n"));
    EXPECT_TRUE(entry.contains("Exec=\"/opt/OVU Helper/ovu-helper\"\n")) << entry.constData();
    EXPECT_TRUE(item.isEnabled());
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("Hidden=true\n");
    file.close();
    EXPECT_FALSE(item.isEnabled());
    ASSERT_TRUE(item.disable().ok());
    EXPECT_FALSE(QFile::exists(item.path()));
    QDir().mkpath(QFileInfo(item.path()).path());
    QDir().rmdir(QFileInfo(item.path()).path());
    QFile blocker(QFileInfo(item.path()).path());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(item.enable().ok()) << "the autostart folder is a file";
    QFile::remove(blocker.fileName());
}
