#include "platform/xdg/MachineName.h"

#include <QFile>
#include <QSysInfo>

using namespace Qt::StringLiterals;

namespace MachineName {

QString prettyHostName(const QByteArray& machineInfo)
{
    QString value;
    for (const QByteArray& rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME=")) {
            continue;
        }
        // Shell quoting as systemd writes it: '…', "…" with backslash escapes, or bare words.
        const QString text = QString::fromUtf8(line.mid(16));
        value.clear();
        QChar quote;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (quote.isNull()) {
                if (c == u'\'' || c == u'"') {
                    quote = c;
                } else if (c == u'\\' && i + 1 < text.size()) {
                    value += text[++i];
                } else {
                    value += c;
                }
            } else if (c == quote) {
                quote = QChar();
            } else if (quote == u'"' && c == u'\\' && i + 1 < text.size()) {
                value += text[++i];
            } else {
                value += c;
            }
        }
    }
    return value.trimmed();
}

QString choose(const QString& machineInfoPath, const QString& hostName)
{
    QFile file(machineInfoPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString pretty = prettyHostName(file.readAll());
        if (!pretty.isEmpty()) {
            return pretty;
        }
    }
    if (!hostName.isEmpty()) {
        return hostName;
    }
    return u"Mac"_s;
}

QString current()
{
    return choose(u"/etc/machine-info"_s, QSysInfo::machineHostName());
}

} // namespace MachineName
