#include "link/TcpConnection.h"
#include "media/SoundPackets.h"
#include "phone/PhoneCommandLine.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"
#include "phone/PhoneViewer.h"
#include "phone/ServiceBrowser.h"
#include "phone/WavFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QSet>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

enum Exit { success = 0, failure = 1, usageError = 2, refused = 3 };

void out(const QString& line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void err(const QString& line)
{
    std::fputs(("ovu-phone: "_L1 + line).toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int discover(const PhoneCommandLine& line)
{
    ServiceBrowser browser;
    QSet<QString> seen;
    int status = success;
    browser.onFound = [&](const ServiceBrowser::Service& service) {
        const QString row = service.name + u'\t' + service.address + u'\t' + QString::number(service.port) +
                            u'\t' + service.hostName;
        if (!seen.contains(row)) {
            seen.insert(row);
            out(row);
        }
    };
    browser.onFailure = [&](const QString& error) {
        err(u"cannot browse for helpers: "_s + error);
        status = failure;
        QCoreApplication::exit(failure);
    };
    if (!browser.browse(u"_ovuhelper._tcp"_s)) {
        return failure;
    }
    QTimer::singleShot(
        std::chrono::milliseconds(static_cast<int>((line.seconds > 0 ? line.seconds : 3) * 1000)),
        [] { QCoreApplication::exit(success); });
    const int code = QCoreApplication::exec();
    return status != success ? status : code;
}

int link(const PhoneCommandLine& line)
{
    PhoneStore store;
    const bool pairing = line.command == u"pair"_s;
    // A phone keeps its name: the one given with --name last time, else one of its host.
    QString name = line.name.isEmpty() ? store.name() : line.name;
    if (name.isEmpty()) {
        name = u"ovu-phone on "_s + QSysInfo::machineHostName();
    }
    if (!line.name.isEmpty()) {
        store.setName(line.name);
    }
    const QString target = line.host + u':' + QString::number(line.port);
    auto phone = PhoneLink::create(std::make_unique<TcpConnection>(line.host, line.port), store, name,
                                   pairing ? PhoneLink::Mode::pair : PhoneLink::Mode::connect);
    phone->onCode = [](const QString& code) { out(u"code: "_s + code); };
    phone->onDenied = [] {
        err(u"the Mac refused the pairing"_s);
        QCoreApplication::exit(refused);
    };
    phone->onProved = [&] {
        if (pairing) {
            out(u"paired with "_s + phone->computerName);
            phone->close();
            QCoreApplication::exit(success);
        } else {
            std::fprintf(stderr, "connected to %s\n", phone->computerName.toUtf8().constData());
        }
    };
    phone->onMessage = [](const QJsonObject& message) {
        out(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    };
    phone->onClosed = [&](const std::optional<QString>& reason) {
        if (phone->isProved && !pairing) {
            std::fprintf(stderr, "the Mac closed the connection\n");
            QCoreApplication::exit(success);
            return;
        }
        const QString failedPrefix = u"The connection failed: "_s;
        QString text = reason.value_or(u"The connection closed."_s);
        if (text.startsWith(failedPrefix)) {
            text = u"cannot connect to "_s + target + u": "_s + text.mid(failedPrefix.size());
        }
        err(text);
        QCoreApplication::exit(failure);
    };
    if (!pairing && line.seconds > 0) {
        QTimer::singleShot(std::chrono::milliseconds(static_cast<int>(line.seconds * 1000)), [&] {
            phone->send(QJsonObject{{u"t"_s, u"bye"_s}});
            QTimer::singleShot(300, [] { QCoreApplication::exit(success); });
        });
    }
    phone->start();
    return QCoreApplication::exec();
}

// Proves itself (or pairs), asks for a display, answers the offer, decodes the video, and prints
// every message and, at the end, the figures.
int view(const PhoneCommandLine& line)
{
    PhoneStore store;
    QString name = line.name.isEmpty() ? store.name() : line.name;
    if (name.isEmpty()) {
        name = u"ovu-phone on "_s + QSysInfo::machineHostName();
    }
    const QString target = line.host + u':' + QString::number(line.port);
    auto phone = PhoneLink::create(std::make_unique<TcpConnection>(line.host, line.port), store, name,
                                   PhoneLink::Mode::connectOrPair);
    PhoneViewer viewer({}, !line.saveDirectory.isEmpty());
    QStringList controls;
    if (!line.inputFile.isEmpty()) {
        QFile file(line.inputFile);
        if (!file.open(QIODevice::ReadOnly)) {
            err(u"cannot read "_s + line.inputFile);
            return failure;
        }
        for (const QByteArray& entry : file.readAll().split('\n')) {
            if (!entry.trimmed().isEmpty()) {
                controls.append(QString::fromUtf8(entry.trimmed()));
            }
        }
    }
    // Link messages at their times after the "start".
    QList<std::pair<int, QJsonObject>> timed;
    if (!line.linkFile.isEmpty()) {
        QFile file(line.linkFile);
        if (!file.open(QIODevice::ReadOnly)) {
            err(u"cannot read "_s + line.linkFile);
            return failure;
        }
        for (const QByteArray& entry : file.readAll().split('\n')) {
            const QByteArray trimmed = entry.trimmed();
            if (trimmed.isEmpty()) {
                continue;
            }
            bool ok = false;
            const int delay = trimmed.left(trimmed.indexOf(' ')).toInt(&ok);
            const QJsonObject message =
                QJsonDocument::fromJson(trimmed.mid(trimmed.indexOf(' ') + 1)).object();
            if (!ok || delay < 0 || message.isEmpty()) {
                err(u"not a \"MILLISECONDS JSON\" line in "_s + line.linkFile + u": "_s +
                    QString::fromUtf8(trimmed));
                return failure;
            }
            timed.append({delay, message});
        }
    }
    int offers = 0;
    std::optional<WavFile> wav;
    if (!line.wavFile.isEmpty()) {
        wav.emplace(line.wavFile, 48000, 2);
        if (!wav->open()) {
            err(u"cannot write "_s + line.wavFile + u": "_s + wav->errorString());
            return failure;
        }
        // Each packet is a 4-byte number and 16-bit stereo samples.
        viewer.onAudioPacket = [&wav](const QByteArray& packet) {
            if (const auto read = SoundPackets::read(packet)) {
                wav->append(read->pcm.toByteArray());
            }
        };
    }
    QElapsedTimer clock;
    std::optional<qint64> firstPicture;
    int saved = 0;
    int status = success;
    viewer.sendSignal = [&](const QJsonObject& message) { phone->send(message); };
    viewer.onPicture = [&](const PhoneViewer::Picture& picture) {
        if (!firstPicture) {
            firstPicture = clock.elapsed();
        }
        if (!line.saveDirectory.isEmpty() && !picture.image.isNull() &&
            (line.frames == 0 || saved < line.frames)) {
            picture.image.save(
                QDir(line.saveDirectory).filePath(QString::asprintf("frame-%05d.png", saved++)));
        }
        if (line.frames > 0 && viewer.figures().framesDecoded >= line.frames) {
            QCoreApplication::exit(success);
        }
    };
    phone->onCode = [](const QString& code) { out(u"code: "_s + code); };
    phone->onDenied = [&] {
        err(u"the Mac refused the pairing"_s);
        QCoreApplication::exit(refused);
    };
    phone->onProved = [&] {
        std::fprintf(stderr, "connected to %s\n", phone->computerName.toUtf8().constData());
        QJsonObject start{{u"t"_s, u"start"_s}};
        if (line.display) {
            start.insert(u"display"_s, double(*line.display));
        }
        if (line.height) {
            start.insert(u"h"_s, *line.height);
        }
        clock.start();
        phone->send(start);
        for (const auto& [delay, message] : timed) {
            QTimer::singleShot(delay, [&phone, message] { phone->send(message); });
        }
    };
    phone->onMessage = [&](const QJsonObject& message) {
        const QString type = message.value(u"t"_s).toString();
        if (type == u"offer"_s || type == u"ice"_s) {
            offers += type == u"offer"_s ? 1 : 0;
            viewer.receive(message);
            return;
        }
        out(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    };
    phone->onClosed = [&](const std::optional<QString>& reason) {
        if (!phone->isProved) {
            const QString failedPrefix = u"The connection failed: "_s;
            QString text = reason.value_or(u"The connection closed."_s);
            if (text.startsWith(failedPrefix)) {
                text = u"cannot connect to "_s + target + u": "_s + text.mid(failedPrefix.size());
            }
            err(text);
            status = failure;
        }
        QCoreApplication::exit(status);
    };
    // Control messages go out once the input channel is open, 10 ms apart.
    QTimer sender;
    sender.setInterval(10);
    QObject::connect(&sender, &QTimer::timeout, [&] {
        if (!controls.isEmpty() && viewer.hasControlChannel()) {
            viewer.sendControl(controls.takeFirst().toUtf8());
        }
    });
    sender.start();
    if (line.seconds > 0) {
        QTimer::singleShot(std::chrono::milliseconds(static_cast<int>(line.seconds * 1000)),
                           [] { QCoreApplication::exit(success); });
    }
    if (!line.saveDirectory.isEmpty()) {
        QDir().mkpath(line.saveDirectory);
    }
    phone->start();
    const int code = QCoreApplication::exec();
    if (phone->isProved) {
        const PhoneViewer::Figures figures = viewer.figures();
        const double seconds = firstPicture ? double(clock.elapsed() - *firstPicture) / 1000.0 : 0;
        const double fps = seconds > 0 ? figures.framesDecoded / seconds : 0;
        const double megabits = seconds > 0 ? double(viewer.videoBytesReceived()) * 8 / 1e6 / seconds : 0;
        out(QString::asprintf(
            "frames %d, %.1f fps, %dx%d, %.1f Mbit/s, %s, sound %d packets, %d gaps, offers %d",
            figures.framesDecoded, fps, figures.width, figures.height, megabits,
            qPrintable(figures.codec.isEmpty() ? u"no video"_s : figures.codec), figures.audioPackets,
            figures.audioSequenceBreaks, offers));
        phone->send(QJsonObject{{u"t"_s, u"bye"_s}});
        QTimer::singleShot(300, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }
    if (wav && !wav->close()) {
        err(u"cannot write "_s + line.wavFile + u": "_s + wav->errorString());
        return failure;
    }
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const PhoneCommandLine line = PhoneCommandLine::parse(QCoreApplication::arguments());
    if (!line.error.isEmpty()) {
        err(line.error);
        std::fputs(PhoneCommandLine::usage().toUtf8().constData(), stderr);
        return usageError;
    }
    if (line.command == u"discover"_s) {
        return discover(line);
    }
    if (line.command == u"view"_s) {
        return view(line);
    }
    return link(line);
}
