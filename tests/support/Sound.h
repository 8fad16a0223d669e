#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The test machine's sound server (tests/env/pulse): pactl, the streams, a tone to play.
namespace Tests {

// Runs pactl; its output, or nothing (and a test failure) when it failed.
QString pactl(const QStringList& arguments);
// The sink (by name) each playing stream is on.
QStringList streamSinks();

// A 1 kHz tone at half of full scale (PulseAudio's module-sine) played into the default sink
// until the player is destroyed.
class TonePlayer {
public:
    TonePlayer();
    ~TonePlayer();

private:
    QString m_module;
};

} // namespace Tests
