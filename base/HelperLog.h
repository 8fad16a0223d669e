#pragma once

#include <QString>

// The helper's one diagnostic sink: "$XDG_STATE_HOME/OVUHelper.log", one line per event, each an
// ISO 8601 UTC timestamp to the second, a blank and the message. Callers never wait for the disk:
// a writer thread appends the lines in the order they were submitted.
class HelperLog {
public:
    HelperLog() = delete;

    // Callable from any thread; returns at once.
    static void write(const QString& message);
    // The file the lines go to, fixed at first use.
    static QString path();
    // Waits until every line submitted so far is in the file (tests, and before the process exits).
    static void flush();

    // The line as it is written, for the current moment.
    static QByteArray formatLine(const QString& message);
};
