#include "tests/support/Avahi.h"

#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cctype>

using namespace Qt::StringLiterals;

namespace Tests {

QString decodeAvahiName(const QByteArray& escaped)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 3 < escaped.size() &&
            std::isdigit(static_cast<unsigned char>(escaped[i + 1]))) {
            bytes.append(static_cast<char>(escaped.mid(i + 1, 3).toInt()));
            i += 3;
        } else if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            bytes.append(escaped[++i]);
        } else {
            bytes.append(escaped[i]);
        }
    }
    return QString::fromUtf8(bytes);
}

QList<BrowsedService> browse(const QString& type)
{
    Child process;
    process.start(u"avahi-browse"_s, {u"-rpt"_s, type});
    process.wait(std::chrono::seconds(10));
    QList<BrowsedService> services;
    for (const QByteArray& line : process.output().split('\n')) {
        const QList<QByteArray> fields = line.split(';');
        if (fields.size() >= 9 && fields[0] == "=") {
            services.append(
                {decodeAvahiName(fields[3]), QString::fromLatin1(fields[7]), fields[8].toUShort()});
        }
    }
    return services;
}

bool waitForService(const QString& name, quint16 port, int seconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < seconds * 1000) {
        for (const BrowsedService& service : browse()) {
            if (service.name == name && (port == 0 || service.port == port)) {
                return true;
            }
        }
        spin(std::chrono::milliseconds(200));
    }
    return false;
}

namespace {

void runEnvScript(const QString& command)
{
    Child process;
    process.start(QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/avahi"_s, {command});
    ASSERT_TRUE(process.wait(std::chrono::seconds(20)));
    ASSERT_EQ(process.exitCode(), 0) << process.errors().constData();
}

} // namespace

void stopAvahiDaemon()
{
    runEnvScript(u"stop-daemon"_s);
}

void startAvahiDaemon()
{
    runEnvScript(u"start-daemon"_s);
}

} // namespace Tests
