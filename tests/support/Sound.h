#pragma once

#include "tests/support/Child.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <optional>

// The test machine's sound server (tests/env/pulse): pactl, a tone to play, recordings of a
// sink's monitor, and what a recording holds.
namespace Tests {

inline constexpr int soundRate = 48000;
// Full scale after the helper's conversion to 16 bits (0.8 of 32768).
inline constexpr double helperFullScale = 26213.0;

// Runs pactl; its output, or nothing (and a test failure) when it failed.
std::optional<QString> pactl(const QStringList& arguments);
QString defaultSink();
// The sink (by name) each playing stream is on.
QStringList streamSinks();
bool sinkExists(const QString& name);
bool sinkMuted(const QString& name);

// A full-scale 1 kHz tone (16-bit stereo) played into the default sink until the player is
// destroyed or stopped.
class TonePlayer {
public:
    TonePlayer();
    ~TonePlayer();
    void stop();

private:
    Child m_process;
};

// Records a source (a sink's monitor: "NAME.monitor") for a while as 16-bit stereo at 48 kHz.
QByteArray record(const QString& source, std::chrono::milliseconds duration);

// The strongest frequency of the left channel between 50 Hz and 8 kHz, to the hertz.
double dominantFrequency(const QByteArray& stereo16);
// The left channel's peak level in dB relative to a full scale (by default the helper's, 26213).
double levelDb(const QByteArray& stereo16, double fullScale = helperFullScale);
// Whether every sample is within ±64.
bool isSilent(const QByteArray& stereo16);

} // namespace Tests
