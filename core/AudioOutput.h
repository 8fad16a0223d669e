#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// This computer's sound output, as muting it needs it.
class AudioOutput {
public:
    struct Device {
        std::uint32_t id = 0;
        QString name;

        bool operator==(const Device&) const = default;
    };

    virtual ~AudioOutput() = default;

    // The default output device, nothing when there is none or it cannot be asked.
    virtual std::optional<Device> defaultOutput() = 0;
    // Whether the user muted the device; nothing when it has no mute control or cannot be asked.
    virtual std::optional<bool> isMuted(const Device& device) = 0;
    // Silences this computer without touching the device's own mute (which would also silence
    // what is recorded from it): the playing sound, and sound that starts later, goes elsewhere.
    virtual void silence(const Device& device) = 0;
    // Gives the device back the sound the silence took from it; what the user changed meanwhile
    // (another default output, a stream sent elsewhere) stays.
    virtual void unsilence(const Device& device) = 0;
    // Undoes a silence that a helper which ended abruptly left behind.
    virtual void removeLeftovers() = 0;
};
