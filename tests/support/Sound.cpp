#include "tests/support/Sound.h"

#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"

#include <QHash>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace Qt::StringLiterals;

namespace Tests {

namespace {

QStringList lines(const QStringList& pactlArguments)
{
    return pactl(pactlArguments).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

QString pactl(const QStringList& arguments)
{
    Child child;
    child.start(u"pactl"_s, arguments);
    if (!child.wait(std::chrono::seconds(10)) || child.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << arguments.join(u' ').toStdString() << ": " << child.errors().constData();
        return {};
    }
    return QString::fromUtf8(child.output());
}

QStringList streamSinks()
{
    QHash<QString, QString> names; // by index
    for (const QString& line : lines({u"list"_s, u"short"_s, u"sinks"_s})) {
        names.insert(line.section(u'\t', 0, 0), line.section(u'\t', 1, 1));
    }
    QStringList streams;
    for (const QString& line : lines({u"list"_s, u"short"_s, u"sink-inputs"_s})) {
        streams.append(names.value(line.section(u'\t', 1, 1), u"?"_s));
    }
    return streams;
}

TonePlayer::TonePlayer()
    : m_module(pactl({u"load-module"_s, u"module-sine"_s, u"frequency=1000"_s}).trimmed())
{}

void TonePlayer::stop()
{
    // Quietly: the sound server may have gone.
    Child unload;
    if (!m_module.isEmpty() && unload.start(u"pactl"_s, {u"unload-module"_s, std::exchange(m_module, {})})) {
        unload.wait(std::chrono::seconds(10));
    }
}

QByteArray record(const QString& source, std::chrono::milliseconds duration)
{
    Child recorder;
    recorder.start(u"pacat"_s, {u"--record"_s, u"--latency-msec=10"_s, u"--device="_s + source, u"--raw"_s,
                                u"--format=s16le"_s, u"--rate=48000"_s, u"--channels=2"_s});
    // A null sink's monitor can take a while to deliver its first block (it renders in long
    // blocks until a stream asks for less), so the recording lasts until it holds enough.
    const qsizetype wanted = duration.count() * soundRate / 1000 * 4;
    waitUntil([&] { return recorder.output().size() >= wanted; }, duration + std::chrono::seconds(5));
    recorder.kill();
    recorder.wait(std::chrono::seconds(5));
    EXPECT_GE(recorder.output().size(), wanted)
        << source.toStdString() << ": " << recorder.errors().constData();
    return recorder.output();
}

double toneDb(const QByteArray& stereo16, double fullScale)
{
    // Goertzel's algorithm over 50 whole periods at a time.
    const qsizetype window = soundRate / 20;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * 1000 / soundRate);
    double strongest = 0;
    for (qsizetype start = 0; start + window * 4 <= stereo16.size(); start += window * 4) {
        double previous = 0;
        double beforePrevious = 0;
        for (qsizetype i = 0; i < window; ++i) {
            const double sample = qFromLittleEndian<std::int16_t>(stereo16.constData() + start + 4 * i);
            beforePrevious = std::exchange(previous, sample + coefficient * previous - beforePrevious);
        }
        const double power =
            previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
        strongest = std::max(strongest, 2 * std::sqrt(power) / double(window));
    }
    return 20 * std::log10(strongest / (fullScale / 2));
}

} // namespace Tests
