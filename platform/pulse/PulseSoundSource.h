#pragma once

#include "media/SoundSource.h"

// This computer's sound from PulseAudio: a record stream (float32, 48 kHz, stereo, fragments of
// about 10 ms) on the monitor of the helper's own null sink while it exists (the output is then
// silenced for the room, see PulseAudioOutput), else on the default sink's monitor. It follows
// changes of either without stopping. A sound server that goes away is logged, not a stop of the
// capture; the stream comes back with the server.
class PulseSoundSource final : public SoundSource {
public:
    std::unique_ptr<Stream> start(Sink& sink) override;

    static constexpr int fragmentFrames = 480;
};
