#pragma once

#include "core/AudioOutput.h"

#include <memory>
#include <optional>

// Mutes this computer's default output while a phone listens, and puts it back afterwards,
// touching only what it did itself: an output the user muted stays muted, and an output the
// helper never silenced is never given its sound back.
class OutputSilencer {
public:
    explicit OutputSilencer(std::unique_ptr<AudioOutput> output);

    void mute();
    void restore();
    // Undoes what a helper that ended abruptly left silenced; nothing is logged.
    void removeLeftovers();

    // The device this instance silenced and has not restored.
    const std::optional<AudioOutput::Device>& mutedDevice() const { return m_mutedDevice; }

private:
    std::unique_ptr<AudioOutput> m_output;
    std::optional<AudioOutput::Device> m_mutedDevice;
};
