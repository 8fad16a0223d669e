#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>

// The test machine's sound server (tests/env/pulse): pactl, a tone to play, recordings of a
// sink's monitor, and the tone's level in a recording.
namespace Tests {

inline constexpr int soundRate = 48000;
// Full scale after the helper's conversion to 16 bits (0.8 of 32768).
inline constexpr double helperFullScale = 26213.0;

// Runs pactl; its output, or nothing (and a test failure) when it failed.
QString pactl(const QStringList& arguments);
// The sink (by name) each playing stream is on.
QStringList streamSinks();

// A 1 kHz tone at half of full scale (PulseAudio's module-sine) played into the default sink
// until the player is destroyed or stopped.
class TonePlayer {
public:
    TonePlayer();
    ~TonePlayer() { stop(); }
    void stop();

private:
    QString m_module;
};

// Records a source (a sink's monitor: "NAME.monitor") for a while as 16-bit stereo at 48 kHz.
QByteArray record(const QString& source, std::chrono::milliseconds duration);
// The 1 kHz tone's level in the left channel, in dB of the level it is played at, for a full
// scale (by default the helper's): its amplitude in the 50 ms where it is strongest, far below 0
// for silence, other sounds and the tone at another pitch.
double toneDb(const QByteArray& stereo16, double fullScale = helperFullScale);

} // namespace Tests
