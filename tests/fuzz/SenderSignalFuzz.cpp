// Arbitrary "answer" and "ice" messages, read as the model reads them, into a real video sender
// with its webrtcbin peer connection waiting for the phone's answer: SDP and candidates of any
// shape must be refused cleanly, never crash the helper.
#include "link/LinkMessages.h"
#include "media/VideoSender.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/SignalMessages.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <glib.h>

#include <memory>

namespace {

void pump()
{
    for (int i = 0; i < 4; ++i) {
        Fuzz::drain();
        while (g_main_context_iteration(nullptr, false)) {
        }
    }
}

std::unique_ptr<VideoSender> sender;
int uses = 0;

VideoSender& current()
{
    // A fresh sender now and then, so that answers land on new offers too.
    if (!sender || ++uses > 64) {
        sender.reset();
        pump();
        sender = std::make_unique<VideoSender>(60, 6'000'000);
        sender->sendSignal = [](const VideoSender::Signal&) {};
        sender->onState = [](const SenderState&) {};
        sender->onStats = [](const SenderStats&) {};
        sender->onControlMessage = [](const QByteArray&) {};
        sender->start();
        uses = 0;
        for (int i = 0; i < 50 && !sender->hasPeerConnection(); ++i) {
            pump();
        }
    }
    return *sender;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    VideoSender& video = current();
    Fuzz::Records records(data, size);
    std::uint8_t kind = 0;
    QByteArray body;
    while (records.next(kind, body)) {
        const QString text = QString::fromUtf8(body);
        switch (kind % 4) {
        case 0:
            Tests::deliver(video, LinkMessages::Answer{text}.json());
            break;
        case 1:
            Tests::deliver(video, LinkMessages::Ice{text, kind / 4, QString::number(kind % 3)}.json());
            break;
        default:
            Tests::deliver(video, QJsonDocument::fromJson(body).object());
            break;
        }
        pump();
    }
    return 0;
}
