// The real helper shares the real screen with the reference phone: pairing, "ready", "start",
// "showing", a decoded picture, control messages that move the X pointer, and the phone's "bye".
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"
#include "tests/support/X11Observer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::HelperProcess;
using Tests::Home;
using Tests::runPhone;

namespace {

Home helperHome()
{
    Home home;
    home.environment.insert(u"DISPLAY"_s, u":1"_s);
    return home;
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

TEST(SharingEndToEnd, ThePhoneSeesTheScreenAndMovesThePointer)
{
    Home helper = helperHome();
    Home phone;
    HelperProcess process(helper, {u"-autoallow"_s});
    ASSERT_EQ(process.waitUntilListening(), 47813);

    QFile input(phone.folder.filePath(u"input.jsonl"_s));
    ASSERT_TRUE(input.open(QIODevice::WriteOnly));
    input.write(R"({"t":"m","x":0.9,"y":0.9})"
                "\n"
                R"({"t":"m","x":0.25,"y":0.5})"
                "\n");
    input.close();
    const auto run = runPhone(
        phone, {u"view"_s, u"127.0.0.1"_s, u"--seconds"_s, u"6"_s, u"--input"_s, input.fileName()}, 30000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    // "ready" with the one monitor of :1 and every permission.
    const QList<QJsonObject> ready = messagesOf(run.out, u"ready"_s);
    ASSERT_EQ(ready.size(), 1) << run.out.toStdString();
    EXPECT_TRUE(ready[0].value(u"control"_s).toBool());
    EXPECT_TRUE(ready[0].value(u"record"_s).toBool());
    EXPECT_TRUE(ready[0].value(u"sound"_s).toBool());
    const QJsonArray displays = ready[0].value(u"displays"_s).toArray();
    ASSERT_EQ(displays.size(), 1);
    const QJsonObject display = displays[0].toObject();
    EXPECT_EQ(display.value(u"pw"_s).toInt(), 1920);
    EXPECT_EQ(display.value(u"ph"_s).toInt(), 1080);
    EXPECT_TRUE(display.value(u"main"_s).toBool());

    // "start" without fields: the main display at 1080 lines.
    const QList<QJsonObject> showing = messagesOf(run.out, u"showing"_s);
    ASSERT_EQ(showing.size(), 1) << run.out.toStdString();
    EXPECT_EQ(showing[0].value(u"display"_s).toDouble(), display.value(u"id"_s).toDouble());
    EXPECT_TRUE(run.out.contains(u"1920x1080"_s)) << run.out.toStdString();
    const QString summary = run.out.section(u'\n', -2, -2);
    EXPECT_GE(summary.section(u' ', 1, 1).remove(u',').toInt(), 1) << summary.toStdString();
    EXPECT_TRUE(Tests::waitForLogLine(helper.logPath(), u"showing "_s + display.value(u"name"_s).toString() +
                                                            u" at 1920x1080"_s));
    EXPECT_TRUE(Tests::waitForLogLine(helper.logPath(), u"state connected"_s));

    // The control messages moved the real pointer: the last to x 0.25, y 0.5 of 1920 × 1080.
    X11Observer observer(":1");
    EXPECT_EQ(observer.pointer(), QPoint(479, 539));

    // The phone said goodbye: no "bye" back, and the helper saw it leave.
    EXPECT_TRUE(messagesOf(run.out, u"bye"_s).isEmpty()) << run.out.toStdString();
    EXPECT_TRUE(Tests::waitUntil([&] {
        return Tests::logMessages(helper.logPath()).filter(u"state idle"_s).size() +
                   Tests::logMessages(helper.logPath()).filter(u" left"_s).size() >
               0;
    }));
}

TEST(SharingEndToEnd, RequestedHeightsAreClamped)
{
    Home helper = helperHome();
    Home phone;
    HelperProcess process(helper, {u"-autoallow"_s});
    ASSERT_EQ(process.waitUntilListening(), 47813);
    // 100 lines become 240, which the display's capture size lifts to 720; 10000 become 4320,
    // which it caps at the display's own 1080.
    for (const auto& [height, size] :
         {std::pair{u"100"_s, u"1280x720"_s}, std::pair{u"10000"_s, u"1920x1080"_s}}) {
        const auto run = runPhone(phone,
                                  {u"view"_s, u"127.0.0.1"_s, u"--height"_s, height, u"--frames"_s, u"1"_s,
                                   u"--seconds"_s, u"10"_s},
                                  30000);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(Tests::waitForLogLine(helper.logPath(), u" at "_s + size)) << size.toStdString();
    }
}
