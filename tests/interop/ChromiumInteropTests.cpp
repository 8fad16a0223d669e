#include "media/VideoSender.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FramePump.h"
#include "tests/support/SignalMessages.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Chromium, driven by tests/interop/chromium-phone.mjs, as the phone: the sender's signalling
// goes to its standard input, its answer, candidates and reports come back on its output.
struct ChromiumPhone {
    explicit ChromiumPhone(VideoSender& sender) : sender(sender)
    {
        const QString script = QStringLiteral(OVU_SOURCE_DIR) + u"/tests/interop/chromium-phone.mjs"_s;
        started = node.start(u"node"_s, {script}, QProcessEnvironment::systemEnvironment(), true, true);
        sender.sendSignal = [this](const VideoSender::Signal& signal) {
            node.write(QJsonDocument(Tests::messageOf(signal)).toJson(QJsonDocument::Compact) + '\n');
        };
    }
    ~ChromiumPhone()
    {
        node.closeInput(); // the script then closes the browser and ends
        node.wait(10s);
    }

    // Reads what Chromium said so far; signalling goes to the sender.
    void poll()
    {
        const QByteArray output = node.output();
        for (qsizetype end = output.indexOf('\n', read); end >= 0; end = output.indexOf('\n', read)) {
            const QJsonObject message = QJsonDocument::fromJson(output.mid(read, end - read)).object();
            read = end + 1;
            if (message.value(u"t"_s) == u"report"_s) {
                report = message;
            } else {
                Tests::deliver(sender, message);
            }
        }
    }
    bool waitFor(const std::function<bool(const QJsonObject&)>& condition, std::chrono::milliseconds timeout)
    {
        return Tests::waitUntil(
                   [&] {
                       poll();
                       return (!report.isEmpty() && condition(report)) || !node.isRunning();
                   },
                   timeout) &&
               condition(report);
    }

    VideoSender& sender;
    Tests::Child node;
    bool started = false;
    qsizetype read = 0;
    QJsonObject report;
};

} // namespace

TEST(ChromiumInterop, BrowserDecodesTheVideoHearsTheSoundAndSendsControl)
{
    VideoSender sender(60, 6'000'000);
    QList<SenderState> states;
    QList<QByteArray> controls;
    sender.onState = [&](const SenderState& state) { states.append(state); };
    sender.onControlMessage = [&](const QByteArray& bytes) { controls.append(bytes); };
    ChromiumPhone phone(sender);
    ASSERT_TRUE(phone.started);
    sender.start();
    Tests::FramePump pump(sender, 1280, 720, 41, 240, 110);
    pump.withSound = true;

    const bool decoded =
        phone.waitFor([](const QJsonObject& r) { return r.value(u"framesDecoded"_s).toInt() >= 120; }, 60s);
    ASSERT_TRUE(decoded) << QJsonDocument(phone.report).toJson().constData()
                         << phone.node.errors().constData();
    EXPECT_EQ(phone.report.value(u"frameWidth"_s).toInt(), 1280);
    EXPECT_EQ(phone.report.value(u"frameHeight"_s).toInt(), 720);
    EXPECT_TRUE(phone.report.value(u"codec"_s).toString().startsWith(u"video/H264"_s))
        << phone.report.value(u"codec"_s).toString().toStdString();
    EXPECT_TRUE(states.contains(SenderState::connected()));
    const QJsonObject track = phone.report.value(u"track"_s).toObject();
    EXPECT_EQ(track.value(u"id"_s).toString(), u"ovu-video0"_s);
    EXPECT_EQ(track.value(u"streams"_s).toArray(), QJsonArray{u"ovu"_s});

    ASSERT_TRUE(
        phone.waitFor([](const QJsonObject& r) { return r[u"sound"_s][u"packets"_s].toInt() >= 50; }, 20s));
    const QJsonObject sound = phone.report.value(u"sound"_s).toObject();
    EXPECT_EQ(sound.value(u"breaks"_s).toInt(), 0) << "consecutive numbers on loopback";
    EXPECT_LE(sound.value(u"largest"_s).toInt(), 1924);

    // Sound as it comes, never sent again; control in order, every message.
    EXPECT_EQ(phone.report.value(u"channels"_s).toArray(),
              (QJsonArray{u"ovu-audio unordered 0"_s, u"ovu-input ordered null"_s}));
    ASSERT_TRUE(Tests::waitUntil([&] { return !controls.isEmpty(); }, 10s));
    EXPECT_EQ(controls[0], QByteArray(R"({"t":"move","x":0.25,"y":0.75})"));
    pump.stop();
    sender.stop();
}
