#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The ovu-phone command line: a command, a target and options.
struct PhoneCommandLine {
    QString command;
    QString host;
    quint16 port = 47813;
    QString name;
    double seconds = 0;
    std::optional<qint64> display;
    std::optional<int> height;
    int frames = 0;
    QString saveDirectory;
    QString inputFile;
    // Lines "MILLISECONDS JSON": link messages sent that long after the "start" (view).
    QString linkFile;
    QString wavFile;
    QString error;

    static PhoneCommandLine parse(const QStringList& arguments);
    // HOST, HOST:PORT, [IPv6] or [IPv6]:PORT; nothing when the port is not a number in 1…65535.
    static std::optional<std::pair<QString, quint16>> parseTarget(const QString& target, quint16 defaultPort);
    static QString usage();
};
