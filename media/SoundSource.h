#pragma once

#include "media/AudioSample.h"

#include <memory>

// What this computer plays, as a stream of sound buffers: the platform's system-sound capture.
class SoundSource {
public:
    // Receives the buffers on the source's own thread.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void audioSample(const AudioSample& sample) = 0;
    };
    class Stream {
    public:
        virtual ~Stream() = default;
        // No buffer is delivered after it returns.
        virtual void stop() = 0;
    };

    virtual ~SoundSource() = default;
    // Starts recording; a source that cannot record (no sound server) may still start and
    // deliver once it can.
    virtual std::unique_ptr<Stream> start(Sink& sink) = 0;
};
