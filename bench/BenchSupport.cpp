#include "bench/BenchSupport.h"

#include "core/SignalMessages.h"
#include "media/VideoSender.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace Bench {

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void print(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

double processCpu(pid_t pid)
{
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    // After the command: state is field 3, utime 14 and stime 15 (counting from 1).
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

long residentKb(pid_t pid)
{
    // The second figure of statm: resident pages.
    QFile statm(u"/proc/%1/statm"_s.arg(pid));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return statm.readAll().split(' ').value(1).toLong() * (::sysconf(_SC_PAGESIZE) / 1024);
}

namespace {

QByteArray figureNumber(double value, int decimals)
{
    if (decimals < 0) {
        const double size = std::abs(value);
        decimals = size >= 1000 ? 0 : size >= 10 ? 1 : size >= 1 ? 2 : 3;
    }
    return QByteArray::number(value, 'f', decimals);
}

} // namespace

void row(const QByteArray& figure, double ours, std::optional<double> reference, const QByteArray& unit,
         const QByteArray& goal, int decimals)
{
    const bool compared = reference && *reference != 0;
    print("row: " + figure + '\t' + figureNumber(ours, decimals) + '\t' +
          (reference ? figureNumber(*reference, decimals) : "-") + '\t' +
          (compared ? QByteArray::number(ours / *reference, 'f', 2) : "-") + '\t' +
          (unit.isEmpty() ? "-" : unit) + '\t' + (goal.isEmpty() ? "-" : goal));
}

StdinLines::StdinLines(std::function<void(const QJsonObject&)> handler)
    : m_handler(std::move(handler))
    , m_notifier(STDIN_FILENO, QSocketNotifier::Read)
{
    QObject::connect(&m_notifier, &QSocketNotifier::activated, &m_notifier, [this] { read(); });
}

void StdinLines::read()
{
    char buffer[65536];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        m_notifier.setEnabled(false);
        QCoreApplication::quit();
        return;
    }
    m_pending.append(buffer, n);
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        if (!line.trimmed().isEmpty()) {
            m_handler(QJsonDocument::fromJson(line).object());
        }
    }
}

std::optional<QByteArray> ChildLines::next()
{
    const QByteArray output = m_child.output();
    const qsizetype end = output.indexOf('\n', m_read);
    if (end < 0) {
        return std::nullopt;
    }
    const QByteArray line = output.mid(m_read, end - m_read);
    m_read = end + 1;
    return line;
}

std::unique_ptr<StdinLines> signalling(VideoSender& sender)
{
    sender.sendSignal = [](const VideoSender::Signal& signal) {
        print(QJsonDocument(SignalMessages::json(signal)).toJson(QJsonDocument::Compact));
    };
    return std::make_unique<StdinLines>([&sender](const QJsonObject& message) {
        if (const auto signal = SignalMessages::from(message)) {
            sender.receive(*signal);
        }
    });
}

} // namespace Bench
