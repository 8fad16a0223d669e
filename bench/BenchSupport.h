#pragma once

#include "tests/support/Child.h"

#include <QByteArray>
#include <QJsonObject>
#include <QSocketNotifier>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class VideoSender;

// What the benchmarks that run a sender and a phone as child processes share.
namespace Bench {

// This machine's monotonic clock (the one GStreamer and steady_clock use) in nanoseconds.
std::int64_t nowNs();
// One line on standard output, flushed.
void print(const QByteArray& line);
// User and system CPU seconds a process has used so far.
double processCpu(pid_t pid);
// A running process's resident memory in kB (-1 when it cannot be read).
long residentKb(pid_t pid);

// One key figure for the table of all benchmarks (tools/bench all writes it to
// docs/benchmarks.md): a line "row: " and, separated by tabs, the figure, our value, the
// reference's value, ours / reference, the unit and the goal, each "-" where there is none (so no
// field is empty). The figure names the reference it is compared with. Values get 0 decimals
// from 1000, 1 from 10, 2 from 1 and 3 below, unless `decimals` says otherwise.
void row(const QByteArray& figure, double ours, std::optional<double> reference, const QByteArray& unit,
         const QByteArray& goal = "-", int decimals = -1);

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

// The sender's signalling as JSON lines: printed on standard output, read from standard input
// (where the other end's lines arrive); the application ends with standard input.
std::unique_ptr<StdinLines> signalling(VideoSender& sender);

} // namespace Bench
