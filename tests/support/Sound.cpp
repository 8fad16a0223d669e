#include "tests/support/Sound.h"

#include "tests/support/EventLoop.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <numbers>

using namespace Qt::StringLiterals;

namespace Tests {

namespace {

std::vector<double> leftChannel(const QByteArray& stereo16)
{
    std::vector<double> left;
    left.reserve(static_cast<size_t>(stereo16.size() / 4));
    for (qsizetype i = 0; i + 4 <= stereo16.size(); i += 4) {
        left.push_back(qFromLittleEndian<std::int16_t>(stereo16.constData() + i));
    }
    return left;
}

// The power of one frequency (Goertzel).
double power(const std::vector<double>& samples, double frequency)
{
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / soundRate);
    double previous = 0;
    double beforePrevious = 0;
    for (double sample : samples) {
        const double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
}

// A minute of the tone, written once.
QString toneFile()
{
    static QTemporaryDir folder;
    static const QString path = [] {
        const QString file = folder.filePath(u"tone.raw"_s);
        QByteArray bytes(soundRate * 60 * 4, '\0');
        for (int i = 0; i < soundRate * 60; ++i) {
            const auto value = static_cast<std::int16_t>(
                std::lround(32767 * std::sin(2 * std::numbers::pi * 1000 * i / soundRate)));
            qToLittleEndian(value, bytes.data() + 4 * i);
            qToLittleEndian(value, bytes.data() + 4 * i + 2);
        }
        QFile out(file);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(bytes);
        }
        return file;
    }();
    return path;
}

const QStringList rawFormat{u"--raw"_s, u"--format=s16le"_s, u"--rate=48000"_s, u"--channels=2"_s};

QStringList lines(const QStringList& pactlArguments)
{
    return pactl(pactlArguments).value_or(QString()).split(u'\n', Qt::SkipEmptyParts);
}

// The sinks' names by index.
QHash<QString, QString> sinks()
{
    QHash<QString, QString> names;
    for (const QString& line : lines({u"list"_s, u"short"_s, u"sinks"_s})) {
        names.insert(line.section(u'\t', 0, 0), line.section(u'\t', 1, 1));
    }
    return names;
}

} // namespace

std::optional<QString> pactl(const QStringList& arguments)
{
    Child child;
    child.start(u"pactl"_s, arguments);
    if (!child.wait(std::chrono::seconds(10)) || child.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << arguments.join(u' ').toStdString() << ": " << child.errors().constData();
        return std::nullopt;
    }
    return QString::fromUtf8(child.output());
}

QString defaultSink()
{
    return pactl({u"get-default-sink"_s}).value_or(QString()).trimmed();
}

QStringList streamSinks()
{
    const QHash<QString, QString> names = sinks();
    QStringList streams;
    for (const QString& line : lines({u"list"_s, u"short"_s, u"sink-inputs"_s})) {
        streams.append(names.value(line.section(u'\t', 1, 1), u"?"_s));
    }
    return streams;
}

bool sinkExists(const QString& name)
{
    return sinks().values().contains(name);
}

bool sinkMuted(const QString& name)
{
    return pactl({u"get-sink-mute"_s, name}).value_or(QString()).contains(u"yes"_s);
}

TonePlayer::TonePlayer()
{
    const qsizetype before = streamSinks().size();
    m_process.start(u"pacat"_s, QStringList{u"--playback"_s, u"--latency-msec=20"_s} + rawFormat +
                                    QStringList{toneFile()});
    // Playing once the stream exists.
    if (!waitUntil([&] { return streamSinks().size() > before; }, std::chrono::seconds(5))) {
        ADD_FAILURE() << "the tone does not play: " << m_process.errors().constData();
    }
}

TonePlayer::~TonePlayer()
{
    stop();
}

void TonePlayer::stop()
{
    if (m_process.isRunning()) {
        m_process.kill();
        m_process.wait(std::chrono::seconds(5));
    }
}

QByteArray record(const QString& source, std::chrono::milliseconds duration)
{
    QTemporaryDir folder;
    const QString file = folder.filePath(u"recording.raw"_s);
    Child recorder;
    QStringList arguments{u"--record"_s, u"--latency-msec=10"_s, u"--device="_s + source};
    arguments += rawFormat;
    arguments.append(file);
    recorder.start(u"pacat"_s, arguments);
    // A null sink's monitor can take a while to deliver its first block (it renders in long
    // blocks until a stream asks for less), so the recording lasts until it holds enough.
    const qint64 wanted = duration.count() * soundRate / 1000 * 4;
    waitUntil([&] { return QFileInfo(file).size() >= wanted; }, duration + std::chrono::seconds(5));
    recorder.signal(SIGINT);
    if (!recorder.wait(std::chrono::seconds(5))) {
        recorder.kill();
        recorder.wait(std::chrono::seconds(5));
    }
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly) || in.size() < wanted) {
        ADD_FAILURE() << "no recording of " << source.toStdString() << ": " << recorder.errors().constData();
        return {};
    }
    return in.readAll();
}

double dominantFrequency(const QByteArray& stereo16)
{
    const std::vector<double> left = leftChannel(stereo16);
    auto best = [&](double from, double to, double step) {
        double strongest = from;
        double strongestPower = -1;
        for (double f = from; f <= to; f += step) {
            if (const double p = power(left, f); p > strongestPower) {
                strongestPower = p;
                strongest = f;
            }
        }
        return strongest;
    };
    const double coarse = best(50, 8000, 25);
    return best(std::max(50.0, coarse - 25), coarse + 25, 1);
}

double levelDb(const QByteArray& stereo16, double fullScale)
{
    double peak = 0;
    for (double sample : leftChannel(stereo16)) {
        peak = std::max(peak, std::abs(sample));
    }
    return peak > 0 ? 20 * std::log10(peak / fullScale) : -200;
}

bool isSilent(const QByteArray& stereo16)
{
    for (qsizetype i = 0; i + 2 <= stereo16.size(); i += 2) {
        if (std::abs(qFromLittleEndian<std::int16_t>(stereo16.constData() + i)) > 64) {
            return false;
        }
    }
    return true;
}

} // namespace Tests
