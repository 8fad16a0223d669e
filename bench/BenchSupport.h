#pragma once

#include "tests/support/Child.h"

#include <QByteArray>
#include <QJsonObject>
#include <QSocketNotifier>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>

// What the benchmarks that run a sender and a phone as child processes share.
namespace Bench {

// This machine's monotonic clock (the one GStreamer and steady_clock use) in nanoseconds.
std::int64_t nowNs();
// One line on standard output, flushed.
void print(const QByteArray& line);
// User and system CPU seconds a process has used so far.
double processCpu(pid_t pid);

// Reads JSON lines from standard input on the main thread; ends the application at its end.
class StdinLines {
public:
    explicit StdinLines(std::function<void(const QJsonObject&)> handler);

private:
    void read();

    std::function<void(const QJsonObject&)> m_handler;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

// The complete lines a child has written so far, one at a time.
class ChildLines {
public:
    explicit ChildLines(Tests::Child& child) : m_child(child) {}
    std::optional<QByteArray> next();

private:
    Tests::Child& m_child;
    qsizetype m_read = 0;
};

} // namespace Bench
