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
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::HelperProcess;
using Tests::Home;
using Tests::runPhone;

namespace {

// The helper on an X display and a phone, each in a home of its own.
struct SharingEndToEnd : testing::Test {
    Home helper;
    Home phone;
    std::optional<HelperProcess> process;

    // Says whether it came to listen.
    bool startHelper(const QString& display, const QStringList& arguments = {u"-autoallow"_s})
    {
        helper.environment.insert(u"DISPLAY"_s, display);
        return process.emplace(helper, arguments).waitUntilListening() == 47813;
    }
    void startPhone(Tests::Child& child, const QStringList& arguments, const Home* home = nullptr)
    {
        child.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s, arguments,
                    (home ? *home : phone).environment);
    }
    // A file of lines for the phone's --input or --link.
    QString writeLines(const QString& name, const QList<QByteArray>& lines)
    {
        QFile file(phone.folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(lines.join('\n') + '\n');
        return file.fileName();
    }
};

// The messages the phone printed (one JSON object a line, its keys in order) of one type.
QStringList linesOf(const QString& output, const QString& type)
{
    return output.split(u'\n').filter(u"\"t\":\""_s + type + u'"');
}

} // namespace

TEST_F(SharingEndToEnd, ThePhoneSeesTheScreenMovesThePointerAndHearsTheSoundWhileTheRoomIsQuiet)
{
    Tests::TonePlayer tone;
    const auto playingOn = [](const QString& sink) {
        return Tests::waitUntil([&] { return Tests::streamSinks() == QStringList{sink}; },
                                15s * Tests::slowdown);
    };
    ASSERT_TRUE(playingOn(u"ovu_test_speakers"_s));
    ASSERT_TRUE(startHelper(u":1"_s));
    const QString input =
        writeLines(u"input.jsonl"_s, {R"({"t":"m","x":0.9,"y":0.9})", R"({"t":"m","x":0.25,"y":0.5})"});
    Tests::Child viewer;
    startPhone(viewer, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, QString::number(6 * Tests::slowdown),
                        u"--input"_s, input});
    // While it listens the playing sound goes to the helper's own sink, whose monitor it records.
    EXPECT_TRUE(playingOn(u"ovu_helper_mute"_s));
    ASSERT_TRUE(viewer.wait(30s * Tests::slowdown));
    ASSERT_EQ(viewer.exitCode(), 0) << viewer.errors().constData();
    // "start" without fields: the display at 1080 lines, decoded, with sound in order.
    const QString summary = QString::fromUtf8(viewer.output()).section(u'\n', -2, -2);
    EXPECT_GE(summary.section(u' ', 1, 1).remove(u',').toInt(), 1) << summary.toStdString();
    EXPECT_TRUE(summary.contains(u"1920x1080"_s) && summary.contains(u" 0 gaps"_s)) << summary.toStdString();
    // The control messages moved the real pointer: the last to x 0.25, y 0.5 of 1920 × 1080.
    EXPECT_EQ(X11Observer(":1").pointer(), QPoint(479, 539));
    EXPECT_TRUE(playingOn(u"ovu_test_speakers"_s)) << "the phone gone, the room has its sound back";

    // Terminated while a phone listens, the helper gives the sound back on its way out.
    Tests::Child listener;
    startPhone(listener, {u"view"_s, u"127.0.0.1"_s});
    ASSERT_TRUE(playingOn(u"ovu_helper_mute"_s));
    EXPECT_EQ(process->terminate(), 0);
    EXPECT_EQ(Tests::streamSinks(), QStringList{u"ovu_test_speakers"_s});
}

TEST_F(SharingEndToEnd, AnotherMonitorIsShownAnUnknownOneFallsBackAndAMonitorAddedIsAnnounced)
{
    xcb_connection_t* connection = xcb_connect(":2", nullptr);
    const std::vector<X11Monitor> monitors =
        X11Monitors::read(connection, xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root)
            .value_or(std::vector<X11Monitor>{});
    xcb_disconnect(connection);
    ASSERT_EQ(monitors.size(), 2u);
    ASSERT_TRUE(startHelper(u":2"_s));
    // A display that does not exist falls back to the one shown last.
    const QString link =
        writeLines(u"link.jsonl"_s,
                   {"2000 {\"t\":\"start\",\"display\":" + QByteArray::number(monitors[1].id) + ",\"h\":720}",
                    "3500 {\"t\":\"view\",\"display\":999999}"});
    Tests::Child viewer;
    startPhone(viewer, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, u"6"_s, u"--link"_s, link});
    ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"state connected"_s, 15s));
    // A monitor added for good: no other test uses this display.
    Tests::Child xrandr;
    xrandr.start(u"xrandr"_s,
                 {u"-display"_s, u":2"_s, u"--setmonitor"_s, u"DP-C"_s, u"640/169x480/127+0+0"_s, u"none"_s});
    ASSERT_TRUE(viewer.wait(30s));
    const QString out = QString::fromUtf8(viewer.output());
    const auto showing = [&](int index) {
        return u"{\"display\":%1,\"t\":\"showing\"}"_s.arg(monitors[index].id);
    };
    EXPECT_EQ(linesOf(out, u"showing"_s), (QStringList{showing(0), showing(1), showing(1)}))
        << out.toStdString();
    EXPECT_TRUE(out.contains(u"offers 1"_s)) << "one peer connection throughout";
    EXPECT_TRUE(
        Tests::waitForLogLine(helper.logPath(), u"showing "_s + monitors[1].name + u" at 1280x720"_s));
    const QStringList announced = linesOf(out, u"displays"_s);
    EXPECT_EQ(announced.size(), 1) << out.toStdString();
    EXPECT_EQ(announced.value(0).count(u"\"id\":"_s), 3) << "the monitor added among them";
}

TEST_F(SharingEndToEnd, APairingWaitsForTheUserWhoAllowsOnePhoneAndRefusesAnother)
{
    // The helper with its windows on the X display, as on a desktop, past its first launch and
    // with both permissions: no welcome window, only the prompt.
    helper.environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    QSettings(helper.folder.filePath(u".config/OVU/OVU Helper.conf"_s), QSettings::IniFormat)
        .setValue(u"hasShownWelcome"_s, true);
    ASSERT_TRUE(startHelper(u":1"_s, {}));
    X11User user(":1");
    Home phones[2];
    // The prompt's buttons are 150 points wide, 12 apart, centred, 24 points above its bottom:
    // "Don’t Allow" on the left, "Allow" on the right.
    for (const bool allow : {true, false}) {
        Tests::Child pairing;
        startPhone(pairing, {u"pair"_s, u"127.0.0.1"_s, u"--name"_s, u"Sol"_s}, &phones[allow ? 0 : 1]);
        const std::optional<QRect> prompt = user.waitForWindow(u"OVU Helper"_s, 10s);
        ASSERT_TRUE(prompt);
        user.click({prompt->center().x() + (allow ? 81 : -81), prompt->bottom() - 40});
        ASSERT_TRUE(pairing.wait(5s));
        EXPECT_EQ(pairing.exitCode(), allow ? 0 : 3) << pairing.errors().constData();
    }
}

TEST_F(SharingEndToEnd, APhoneKilledOrTheXServerGoneLeavesTheHelperServingTheNextPhone)
{
    Tests::ExtraDisplay xvfb(7, u"1280x720"_s);
    ASSERT_GT(xvfb.pid(), 0);
    ASSERT_TRUE(startHelper(u":7"_s));
    Tests::Child viewers[2];
    for (int round = 1; round <= 2; ++round) {
        startPhone(viewers[round - 1], {u"view"_s, u"127.0.0.1"_s});
        ASSERT_TRUE(Tests::waitUntil(
            [&] { return Tests::logMessages(helper.logPath()).count(u"state connected"_s) == round; }, 20s));
        viewers[0].kill(); // the first phone goes without a "bye": its connection just ends
    }
    xvfb.kill();
    ASSERT_TRUE(viewers[1].wait(20s));
    EXPECT_TRUE(viewers[1].output().contains("The Mac stopped the screen capture."))
        << viewers[1].output().constData();
    // Still there for the next phone, which is told there is nothing to show.
    const auto next = runPhone(phone, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, u"2"_s});
    EXPECT_TRUE(next.out.contains(u"OVU Helper is not allowed"_s))
        << next.out.toStdString() << next.err.toStdString();
}

// Last: it kills the sound server. (A sound server coming back is the sound source's test.)
TEST_F(SharingEndToEnd, TheSoundServerKilledMidSessionLeavesThePicture)
{
    Tests::ExtraDisplay xvfb(8, u"640x480"_s);
    ASSERT_GT(xvfb.pid(), 0);
    ASSERT_TRUE(startHelper(u":8"_s));
    QTemporaryDir saved;
    Tests::TonePlayer tone;
    Tests::Child viewer;
    startPhone(viewer, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, QString::number(8 * Tests::slowdown),
                        u"--save"_s, saved.path()});
    // The sound server dies while the picture and the sound flow.
    ASSERT_TRUE(Tests::waitForLogLine(helper.logPath(), u"state connected"_s, 15s));
    Tests::spin(1s);
    Tests::Child kill;
    kill.start(QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/pulse"_s, {u"kill"_s});
    ASSERT_TRUE(kill.wait(20s));
    EXPECT_TRUE(Tests::waitForLogLine(helper.logPath(), u"sound: lost the sound server ("_s, 10s));
    // The picture goes on: the screen turns red and the phone sees it.
    X11Painter(":8").fill({0, 0, 640, 480}, 0xff0000);
    ASSERT_TRUE(viewer.wait(20s * Tests::slowdown));
    const QStringList frames = QDir(saved.path()).entryList({u"frame-*.png"_s}, QDir::Files, QDir::Name);
    const QImage last(saved.filePath(frames.value(frames.size() - 1)));
    // Away from the pointer, which the capture draws in.
    const QRgb corner = last.pixel(last.width() / 4, last.height() / 4);
    EXPECT_TRUE(qRed(corner) > 200 && qGreen(corner) < 60) << std::hex << corner << ", " << frames.size();
}
