#include "core/LinkServer.h"
#include "link/LinkSession.h"
#include "link/PairedDevices.h"
#include "media/VideoSender.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FramePump.h"
#include "tests/support/Processes.h"

#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QCoro::Task<bool> allow(QString, QString)
{
    co_return true;
}

// The helper's part for one phone, until the helper has a model: a proved session's "start"
// makes a sender fed with pictures of one colour; "answer" and "ice" go to the sender.
struct StandIn {
    QTemporaryDir folder;
    PairedDevices devices{folder.path() + u"/helper"_s};
    LinkServer server{devices, u"Stand-in"_s, nullptr};
    std::shared_ptr<LinkSession> session;
    std::unique_ptr<VideoSender> sender;
    std::unique_ptr<Tests::FramePump> pump;
    QList<QJsonObject> received;
    QList<QByteArray> controls;

    StandIn()
    {
        server.askToPair = allow;
        server.onSession = [this](const std::shared_ptr<LinkSession>& proved) {
            session = proved;
            session->onMessage = [this](const QJsonObject& message) { handle(message); };
        };
        server.start();
    }
    ~StandIn()
    {
        pump.reset();
        if (sender) {
            sender->stop();
        }
    }
    void handle(const QJsonObject& message)
    {
        received.append(message);
        const QString type = message.value(u"t"_s).toString();
        if (type == u"start"_s && !sender) {
            sender = std::make_unique<VideoSender>(60, 6'000'000);
            sender->sendSignal = [this](const QJsonObject& m) { session->channel->send(m); };
            sender->onControlMessage = [this](const QByteArray& bytes) { controls.append(bytes); };
            sender->start();
            pump = std::make_unique<Tests::FramePump>(*sender, 640, 480, 145, 54, 34);
            pump->withSound = true;
            session->channel->send({{u"t"_s, u"showing"_s}, {u"display"_s, 1}});
        } else if ((type == u"answer"_s || type == u"ice"_s) && sender) {
            sender->receive(message);
        }
    }
};

} // namespace

TEST(PhoneView, PairsStartsDecodesSavesAndReports)
{
    StandIn helper;
    ASSERT_TRUE(Tests::waitUntil([&] { return helper.server.isListening(); }));
    Tests::Home home;
    const QString pictures = home.folder.path() + u"/pictures"_s;
    const QString input = home.folder.path() + u"/input.jsonl"_s;
    {
        QFile file(input);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("{\"t\":\"move\",\"x\":0.5,\"y\":0.5}\n\n{\"t\":\"tap\"}\n");
    }
    Tests::Child phone;
    phone.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s,
                {u"view"_s, u"127.0.0.1"_s, u"--height"_s, u"720"_s, u"--frames"_s, u"90"_s, u"--save"_s,
                 pictures, u"--input"_s, input, u"--seconds"_s, u"30"_s},
                home.environment);
    ASSERT_TRUE(phone.wait(40s)) << phone.errors().constData();
    const QString out = QString::fromUtf8(phone.output());
    EXPECT_EQ(phone.exitCode(), 0) << phone.errors().constData();
    EXPECT_TRUE(out.contains(u"code: "_s)) << "a new phone pairs first";
    EXPECT_TRUE(out.contains(u"{\"display\":1,\"t\":\"showing\"}"_s)) << out.toStdString();
    const QString summary = out.section(u'\n', -2, -2);
    EXPECT_GE(summary.section(u' ', 1, 1).remove(u',').toInt(), 90) << summary.toStdString();
    EXPECT_TRUE(summary.contains(u"640x480"_s)) << summary.toStdString();
    EXPECT_TRUE(summary.contains(u"H264"_s)) << summary.toStdString();
    EXPECT_TRUE(summary.contains(u", 0 gaps"_s)) << summary.toStdString();

    const QStringList saved = QDir(pictures).entryList({u"*.png"_s}, QDir::Files, QDir::Name);
    ASSERT_EQ(saved.size(), 90);
    const QImage last(QDir(pictures).filePath(saved.last()));
    EXPECT_EQ(last.size(), QSize(640, 480));
    EXPECT_GT(qGreen(last.pixel(320, 240)), 200);

    // The "start" asked for 720 lines, and the control messages arrived on ovu-input.
    ASSERT_FALSE(helper.received.isEmpty());
    EXPECT_EQ(helper.received.first().value(u"h"_s).toInt(), 720);
    EXPECT_EQ(helper.received.last().value(u"t"_s).toString(), u"bye"_s);
    EXPECT_EQ(helper.controls, (QList<QByteArray>{R"({"t":"move","x":0.5,"y":0.5})", R"({"t":"tap"})"}));
}
