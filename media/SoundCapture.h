#pragma once

#include "media/SoundSource.h"

#include <QByteArray>

#include <functional>
#include <memory>

// Records this computer's sound while it runs and hands it on as 16-bit stereo, on the sound
// source's own thread. Control runs on the main thread.
class SoundCapture : private SoundSource::Sink {
public:
    explicit SoundCapture(SoundSource& source);
    ~SoundCapture() override;
    SoundCapture(const SoundCapture&) = delete;
    SoundCapture& operator=(const SoundCapture&) = delete;

    // Read by the sound thread while it runs: set while no recording runs.
    std::function<void(const QByteArray& pcm)> onAudio;

    void start();
    // No sound is handed on after it returns.
    void stop();
    bool isRunning() const { return m_stream != nullptr; }

private:
    void audioSample(const AudioSample& sample) override;

    SoundSource& m_source;
    std::unique_ptr<SoundSource::Stream> m_stream;
};
