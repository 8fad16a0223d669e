#include "link/TcpConnection.h"
#include "phone/PhoneCommandLine.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"
#include "platform/avahi/AvahiBrowser.h"

#include <QCoreApplication>
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
    AvahiBrowser browser;
    QSet<QString> seen;
    int status = success;
    browser.onFound = [&](const AvahiBrowser::Service& service) {
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
            out(u"paired with "_s + phone->macName);
            phone->close();
            QCoreApplication::exit(success);
        } else {
            std::fprintf(stderr, "connected to %s\n", phone->macName.toUtf8().constData());
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
    return link(line);
}
