#include "tests/support/LogReader.h"

#include "base/HelperLog.h"
#include "tests/support/EventLoop.h"

#include <QFile>

namespace Tests {

QStringList logMessages(const QString& path)
{
    if (path == HelperLog::path()) {
        HelperLog::flush();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList messages;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.size() > 21 && line[20] == ' ') {
            messages.append(QString::fromUtf8(line.mid(21)));
        }
    }
    return messages;
}

bool waitForLogLine(const QString& path, const QString& text, std::chrono::milliseconds timeout)
{
    return waitUntil(
        [&] {
            const QStringList messages = logMessages(path);
            return std::any_of(messages.begin(), messages.end(),
                               [&](const QString& m) { return m.contains(text); });
        },
        timeout);
}

} // namespace Tests
