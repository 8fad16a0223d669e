#include "tests/support/Avahi.h"

#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <cctype>

using namespace Qt::StringLiterals;

namespace Tests {

namespace {

// avahi-browse escapes a name's bytes as \DDD (its UTF-8 bytes, in decimal) or \C.
QString decodeAvahiName(const QByteArray& escaped)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 3 < escaped.size() &&
            std::isdigit(static_cast<unsigned char>(escaped[i + 1]))) {
            bytes.append(char(escaped.mid(i + 1, 3).toInt()));
            i += 3;
        } else if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            bytes.append(escaped[++i]);
        } else {
            bytes.append(escaped[i]);
        }
    }
    return QString::fromUtf8(bytes);
}

} // namespace

QStringList browse()
{
    Child process;
    process.start(u"avahi-browse"_s, {u"-rpt"_s, u"_ovuhelper._tcp"_s});
    process.wait(std::chrono::seconds(10));
    QStringList services;
    for (const QByteArray& line : process.output().split('\n')) {
        const QList<QByteArray> fields = line.split(';');
        if (fields.size() >= 9 && fields[0] == "=") {
            services.append(decodeAvahiName(fields[3]) + u' ' + QString::fromLatin1(fields[8]));
        }
    }
    return services;
}

bool waitForService(const QString& name, quint16 port, int seconds)
{
    const QString service = name + u' ' + QString::number(port);
    return waitUntil([&] { return browse().contains(service); }, std::chrono::seconds(seconds));
}

void runAvahiDaemon(bool running)
{
    Child script;
    script.start(QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/avahi"_s,
                 {running ? u"start-daemon"_s : u"stop-daemon"_s});
    ASSERT_TRUE(script.wait(std::chrono::seconds(20)));
    ASSERT_EQ(script.exitCode(), 0) << script.errors().constData();
}

} // namespace Tests
