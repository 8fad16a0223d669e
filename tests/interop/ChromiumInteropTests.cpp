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
class ChromiumPhone {
public:
    explicit ChromiumPhone(VideoSender& sender) : m_sender(sender)
    {
        const QString script = QStringLiteral(OVU_SOURCE_DIR) + u"/tests/interop/chromium-phone.mjs"_s;
        m_started = m_node.start(u"node"_s, {script}, QProcessEnvironment::systemEnvironment(), true, true);
        sender.sendSignal = [this](const VideoSender::Signal& signal) {
            m_node.write(QJsonDocument(Tests::messageOf(signal)).toJson(QJsonDocument::Compact) + '\n');
        };
    }
    ~ChromiumPhone()
    {
        m_node.closeInput();
        if (!m_node.wait(10s)) {
            m_node.kill();
        }
    }
    bool started() const { return m_started; }

    // Reads what Chromium said so far; signalling goes to the sender.
    void poll()
    {
        const QByteArray output = m_node.output();
        while (true) {
            const qsizetype end = output.indexOf('\n', m_read);
            if (end < 0) {
                break;
            }
            const QJsonObject message = QJsonDocument::fromJson(output.mid(m_read, end - m_read)).object();
            m_read = end + 1;
            const QString type = message.value(u"t"_s).toString();
            if (type == u"report"_s) {
                report = message;
            } else {
                Tests::deliver(m_sender, message);
            }
        }
    }
    bool waitFor(const std::function<bool(const QJsonObject&)>& condition, std::chrono::milliseconds timeout)
    {
        return Tests::waitUntil(
                   [&] {
                       poll();
                       return (!report.isEmpty() && condition(report)) || !m_node.isRunning();
                   },
                   timeout) &&
               condition(report);
    }
    QString errors() { return QString::fromUtf8(m_node.errors()); }

    QJsonObject report;

private:
    VideoSender& m_sender;
    Tests::Child m_node;
    bool m_started = false;
    qsizetype m_read = 0;
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
    ASSERT_TRUE(phone.started());
    sender.start();
    Tests::FramePump pump(sender, 1280, 720, 41, 240, 110);
    pump.withSound = true;

    const bool decoded =
        phone.waitFor([](const QJsonObject& r) { return r.value(u"framesDecoded"_s).toInt() >= 120; }, 60s);
    ASSERT_TRUE(decoded) << QJsonDocument(phone.report).toJson().constData() << phone.errors().toStdString();
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

    for (const QJsonValue& channel : phone.report.value(u"channels"_s).toArray()) {
        const QJsonObject c = channel.toObject();
        if (c.value(u"label"_s) == u"ovu-audio"_s) {
            EXPECT_FALSE(c.value(u"ordered"_s).toBool());
            EXPECT_EQ(c.value(u"maxRetransmits"_s).toInt(), 0);
        } else {
            EXPECT_EQ(c.value(u"label"_s).toString(), u"ovu-input"_s);
            EXPECT_TRUE(c.value(u"ordered"_s).toBool());
        }
    }
    ASSERT_TRUE(Tests::waitUntil([&] { return !controls.isEmpty(); }, 10s));
    EXPECT_EQ(controls[0], QByteArray(R"({"t":"move","x":0.25,"y":0.75})"));
    pump.stop();
    sender.stop();
}
