#include "phone/PhoneCommandLine.h"

using namespace Qt::StringLiterals;

std::optional<std::pair<QString, quint16>> PhoneCommandLine::parseTarget(const QString& target,
                                                                         quint16 defaultPort)
{
    QString host = target;
    QString port;
    if (target.startsWith(u'[')) {
        const qsizetype end = target.indexOf(u']');
        if (end < 0) {
            return std::nullopt;
        }
        host = target.mid(1, end - 1);
        const QString rest = target.mid(end + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':')) {
                return std::nullopt;
            }
            port = rest.mid(1);
        }
    } else if (target.count(u':') == 1) {
        host = target.section(u':', 0, 0);
        port = target.section(u':', 1);
    }
    if (host.isEmpty()) {
        return std::nullopt;
    }
    if (port.isNull()) {
        return std::pair{host, defaultPort};
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number < 1 || number > 65535) {
        return std::nullopt;
    }
    return std::pair{host, static_cast<quint16>(number)};
}

PhoneCommandLine PhoneCommandLine::parse(const QStringList& arguments)
{
    PhoneCommandLine line;
    QStringList positional;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= arguments.size()) {
                line.error = argument + u" needs a value"_s;
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (argument == u"--name"_s) {
            if (auto v = value()) {
                line.name = *v;
            }
        } else if (argument == u"--seconds"_s) {
            if (auto v = value()) {
                bool ok = false;
                line.seconds = v->toDouble(&ok);
                if (!ok || line.seconds <= 0) {
                    line.error = u"--seconds needs a positive number"_s;
                }
            }
        } else if (argument == u"--display"_s || argument == u"--height"_s || argument == u"--frames"_s) {
            if (auto v = value()) {
                bool ok = false;
                const qint64 number = v->toLongLong(&ok);
                if (!ok || number < 0) {
                    line.error = argument + u" needs a number"_s;
                } else if (argument == u"--display"_s) {
                    line.display = number;
                } else if (argument == u"--height"_s) {
                    line.height = static_cast<int>(std::min<qint64>(number, 100'000));
                } else {
                    line.frames = static_cast<int>(std::min<qint64>(number, 1'000'000'000));
                }
            }
        } else if (argument == u"--save"_s) {
            if (auto v = value()) {
                line.saveDirectory = *v;
            }
        } else if (argument == u"--input"_s) {
            if (auto v = value()) {
                line.inputFile = *v;
            }
        } else if (argument == u"--link"_s) {
            if (auto v = value()) {
                line.linkFile = *v;
            }
        } else if (argument == u"--wav"_s) {
            if (auto v = value()) {
                line.wavFile = *v;
            }
        } else if (argument.startsWith(u"--"_s)) {
            line.error = u"unknown option "_s + argument;
        } else {
            positional.append(argument);
        }
        if (!line.error.isEmpty()) {
            return line;
        }
    }
    if (positional.isEmpty()) {
        line.error = u"no command given"_s;
        return line;
    }
    line.command = positional.takeFirst();
    const bool needsTarget =
        line.command == u"pair"_s || line.command == u"connect"_s || line.command == u"view"_s;
    if (line.command != u"discover"_s && !needsTarget) {
        line.error = u"unknown command "_s + line.command;
        return line;
    }
    if (needsTarget) {
        if (positional.size() != 1) {
            line.error = line.command + u" needs one HOST[:PORT]"_s;
            return line;
        }
        const auto target = parseTarget(positional.first(), line.port);
        if (!target) {
            line.error = u"not a HOST[:PORT]: "_s + positional.first();
            return line;
        }
        line.host = target->first;
        line.port = target->second;
    } else if (!positional.isEmpty()) {
        line.error = u"discover takes no target"_s;
    }
    return line;
}

QString PhoneCommandLine::usage()
{
    return u"usage: ovu-phone discover [--seconds S]\n"
           u"       ovu-phone pair HOST[:PORT] [--name NAME]\n"
           u"       ovu-phone connect HOST[:PORT] [--seconds S]\n"
           u"       ovu-phone view HOST[:PORT] [--display ID] [--height H] [--frames N] [--save DIR]\n"
           u"                      [--seconds S] [--input FILE] [--link FILE] [--wav FILE]\n"_s;
}
