// The real helper shares the real screen and sound with the reference phone (ovu-phone): what the
// phone sees, hears and moves, the pairing prompt a user answers, and the helper going on when
// the phone, the X server or the sound server goes away.
#include "platform/x11/X11Monitors.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/Sound.h"
#include "tests/support/X11Observer.h"
#include "tests/support/X11Painter.h"
#include "tests/support/X11User.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::HelperProcess;
using Tests::Home;
using Tests::runPhone;

namespace {

Home helperHome(const QString& display = u":1"_s)
{
    Home home;
    home.environment.insert(u"DISPLAY"_s, display);
    return home;
}

void startPhone(Tests::Child& phone, const Home& home, const QStringList& arguments)
{
    phone.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s, arguments, home.environment);
}

// A file of lines for the phone's --input or --link.
QString writeLines(const Home& home, const QString& name, const QList<QByteArray>& lines)
{
    QFile file(home.folder.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(lines.join('\n') + '\n');
    return file.fileName();
}

// The JSON lines the phone printed, by type.
QList<QJsonObject> messagesOf(const QString& output, const QString& type)
{
    QList<QJsonObject> found;
    for (const QString& line : output.split(u'\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line.toUtf8()).object();
        if (message.value(u"t"_s).toString() == type) {
            found.append(message);
        }
    }
    return found;
}

} // namespace

TEST(SharingEndToEnd, ThePhoneSeesTheScreenMovesThePointerAndHearsTheSoundWhileTheRoomIsQuiet)
{
    Tests::TonePlayer tone;
    ASSERT_TRUE(Tests::waitUntil([] { return Tests::streamSinks() == QStringList{u"ovu_test_speakers"_s}; }));
    Home helper = helperHome();
    Home phone;
    HelperProcess process(helper, {u"-autoallow"_s});
    ASSERT_EQ(process.waitUntilListening(), 47813);
    const QString input = writeLines(phone, u"input.jsonl"_s,
                                     {R"({"t":"m","x":0.9,"y":0.9})", R"({"t":"m","x":0.25,"y":0.5})"});
    Tests::Child viewer;
    startPhone(viewer, phone,
               {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, QString::number(6 * Tests::slowdown), u"--input"_s,
                input});
    // While it listens the playing sound goes to the helper's own sink, whose monitor it records.
    ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"muted this Mac's output"_s, 15s * Tests::slowdown));
    EXPECT_EQ(Tests::streamSinks(), QStringList{u"ovu_helper_mute"_s});
    ASSERT_TRUE(viewer.wait(30s * Tests::slowdown));
    ASSERT_EQ(viewer.exitCode(), 0) << viewer.errors().constData();
    const QString out = QString::fromUtf8(viewer.output());

    const QJsonObject ready = messagesOf(out, u"ready"_s).value(0);
    EXPECT_TRUE(ready[u"control"_s].toBool() && ready[u"record"_s].toBool()) << out.toStdString();
    // "start" without fields: the display at 1080 lines, decoded, with sound in order.
    EXPECT_EQ(messagesOf(out, u"showing"_s).size(), 1) << out.toStdString();
    const QString summary = out.section(u'\n', -2, -2);
    EXPECT_GE(summary.section(u' ', 1, 1).remove(u',').toInt(), 1) << summary.toStdString();
    EXPECT_TRUE(summary.contains(u"1920x1080"_s) && summary.contains(u" 0 gaps"_s)) << summary.toStdString();
    // The control messages moved the real pointer: the last to x 0.25, y 0.5 of 1920 × 1080.
    EXPECT_EQ(X11Observer(":1").pointer(), QPoint(479, 539));
    // The phone left without a "bye": the room has its sound back.
    EXPECT_TRUE(messagesOf(out, u"bye"_s).isEmpty());
    ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"un-muted this Mac's output"_s, 10s));
    EXPECT_EQ(Tests::streamSinks(), QStringList{u"ovu_test_speakers"_s});
}

TEST(SharingEndToEnd, AnotherMonitorIsShownInPlaceAndAMonitorAddedIsAnnounced)
{
    xcb_connection_t* connection = xcb_connect(":2", nullptr);
    const std::vector<X11Monitor> monitors =
        X11Monitors::read(connection, xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root)
            .value_or(std::vector<X11Monitor>{});
    xcb_disconnect(connection);
    ASSERT_EQ(monitors.size(), 2u);
    Home helper = helperHome(u":2"_s);
    Home phone;
    HelperProcess process(helper, {u"-autoallow"_s});
    ASSERT_EQ(process.waitUntilListening(), 47813);
    // A display that does not exist falls back to the one shown last.
    const QString link =
        writeLines(phone, u"link.jsonl"_s,
                   {"2000 {\"t\":\"start\",\"display\":" + QByteArray::number(monitors[1].id) + ",\"h\":720}",
                    "3500 {\"t\":\"view\",\"display\":999999}"});
    Tests::Child viewer;
    startPhone(viewer, phone, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, u"6"_s, u"--link"_s, link});
    ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"state connected"_s, 15s));
    const auto xrandr = [](const QStringList& arguments) {
        Tests::Child child;
        child.start(u"xrandr"_s, QStringList{u"-display"_s, u":2"_s} + arguments);
        EXPECT_TRUE(child.wait(10s));
    };
    xrandr({u"--setmonitor"_s, u"DP-C"_s, u"640/169x480/127+0+0"_s, u"none"_s});
    ASSERT_TRUE(viewer.wait(30s));
    xrandr({u"--delmonitor"_s, u"DP-C"_s});
    const QString out = QString::fromUtf8(viewer.output());
    QList<double> shown;
    for (const QJsonObject& showing : messagesOf(out, u"showing"_s)) {
        shown.append(showing.value(u"display"_s).toDouble());
    }
    EXPECT_EQ(shown, (QList<double>{double(monitors[0].id), double(monitors[1].id), double(monitors[1].id)}))
        << out.toStdString();
    EXPECT_TRUE(out.contains(u"offers 1"_s)) << "one peer connection throughout: " << out.toStdString();
    EXPECT_TRUE(
        Tests::waitForLogLine(helper.logPath(), u"showing "_s + monitors[1].name + u" at 1280x720"_s));
    const QList<QJsonObject> announced = messagesOf(out, u"displays"_s);
    ASSERT_EQ(announced.size(), 1) << out.toStdString();
    EXPECT_EQ(announced[0].value(u"displays"_s).toArray().size(), 3);
}

TEST(SharingEndToEnd, APairingWaitsForTheUserWhoAllowsOnePhoneAndRefusesAnother)
{
    // The helper with its windows on the X display, as on a desktop, past its first launch and
    // with both permissions: no welcome window, only the prompt.
    Home helper = helperHome();
    helper.environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    QSettings(helper.folder.filePath(u".config/OVU/OVU Helper.conf"_s), QSettings::IniFormat)
        .setValue(u"hasShownWelcome"_s, true);
    HelperProcess process(helper);
    ASSERT_EQ(process.waitUntilListening(), 47813);
    X11User user(":1");
    Home phones[2];
    // The prompt's buttons are 150 points wide, 12 apart, centred, 24 points above its bottom:
    // "Don’t Allow" on the left, "Allow" on the right.
    for (const bool allow : {true, false}) {
        Tests::Child pairing;
        startPhone(pairing, phones[allow ? 0 : 1], {u"pair"_s, u"127.0.0.1"_s, u"--name"_s, u"Sol"_s});
        const std::optional<QRect> prompt = user.waitForWindow(u"OVU Helper"_s, 10s);
        ASSERT_TRUE(prompt);
        user.click({prompt->center().x() + (allow ? 81 : -81), prompt->bottom() - 40});
        ASSERT_TRUE(pairing.wait(5s));
        EXPECT_EQ(pairing.exitCode(), allow ? 0 : 3) << pairing.errors().constData();
    }
    const auto known = runPhone(phones[0], {u"connect"_s, u"127.0.0.1"_s, u"--seconds"_s, u"1"_s});
    EXPECT_EQ(messagesOf(known.out, u"ready"_s).size(), 1) << known.err.toStdString();
}

TEST(SharingEndToEnd, APhoneKilledOrTheXServerGoneLeavesTheHelperServingTheNextPhone)
{
    Tests::ExtraDisplay xvfb(7, u"1280x720"_s);
    ASSERT_GT(xvfb.pid(), 0);
    Home helper = helperHome(u":7"_s);
    Home phone;
    HelperProcess process(helper, {u"-autoallow"_s});
    ASSERT_EQ(process.waitUntilListening(), 47813);
    for (int round = 1; round <= 2; ++round) {
        Tests::Child viewer;
        startPhone(viewer, phone, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, u"20"_s});
        ASSERT_TRUE(Tests::waitUntil(
            [&] { return Tests::logMessages(helper.logPath()).count(u"state connected"_s) == round; }, 20s));
        if (round == 1) {
            viewer.kill(); // no "bye": the connection just ends
            continue;
        }
        xvfb.kill();
        ASSERT_TRUE(viewer.wait(20s));
        const QList<QJsonObject> bye = messagesOf(QString::fromUtf8(viewer.output()), u"bye"_s);
        ASSERT_EQ(bye.size(), 1) << viewer.output().constData();
        EXPECT_EQ(bye[0].value(u"reason"_s).toString(), u"The Mac stopped the screen capture."_s);
    }
    // Still there for the next phone, which is told there is nothing to show.
    EXPECT_TRUE(process.isRunning());
    const QString link = writeLines(phone, u"link.jsonl"_s, {"500 {\"t\":\"start\"}"});
    const auto next = runPhone(phone, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, u"2"_s, u"--link"_s, link});
    const QList<QJsonObject> bye = messagesOf(next.out, u"bye"_s);
    ASSERT_FALSE(bye.isEmpty()) << next.out.toStdString() << next.err.toStdString();
    EXPECT_TRUE(bye[0][u"reason"_s].toString().startsWith(u"OVU Helper is not allowed"_s));
}

// Last: it kills the sound server. (A sound server coming back is the sound source's test.)
TEST(SharingEndToEnd, TheSoundServerKilledMidSessionLeavesThePicture)
{
    Tests::ExtraDisplay xvfb(8, u"640x480"_s);
    ASSERT_GT(xvfb.pid(), 0);
    Home helper = helperHome(u":8"_s);
    Home phone;
    HelperProcess process(helper, {u"-autoallow"_s});
    ASSERT_EQ(process.waitUntilListening(), 47813);
    QTemporaryDir saved;
    Tests::Child viewer;
    {
        Tests::TonePlayer tone;
        startPhone(viewer, phone,
                   {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, QString::number(8 * Tests::slowdown),
                    u"--save"_s, saved.path()});
        ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"muted this Mac's output"_s, 15s));
        ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"state connected"_s, 15s));
        Tests::spin(1s);
        Tests::Child kill;
        kill.start(QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/pulse"_s, {u"kill"_s});
        ASSERT_TRUE(kill.wait(20s));
    }
    EXPECT_TRUE(Tests::waitForLogLine(helper.logPath(), u"sound: lost the sound server ("_s, 10s));
    // The picture goes on: the screen turns red and the phone sees it.
    X11Painter(":8").fill({0, 0, 640, 480}, 0xff0000);
    ASSERT_TRUE(viewer.wait(20s * Tests::slowdown));
    EXPECT_TRUE(messagesOf(QString::fromUtf8(viewer.output()), u"bye"_s).isEmpty())
        << viewer.output().constData();
    const QStringList frames = QDir(saved.path()).entryList({u"frame-*.png"_s}, QDir::Files, QDir::Name);
    ASSERT_FALSE(frames.isEmpty());
    const QImage last(saved.filePath(frames.last()));
    // Away from the pointer, which the capture draws in.
    const QRgb corner = last.pixel(last.width() / 4, last.height() / 4);
    EXPECT_GT(qRed(corner), 200) << std::hex << corner << std::dec << ", " << frames.size() << " pictures";
    EXPECT_LT(qGreen(corner), 60);
    EXPECT_TRUE(process.isRunning());
}
