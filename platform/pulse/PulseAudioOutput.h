#pragma once

#include "core/AudioOutput.h"
#include "platform/pulse/PulseConnection.h"

#include <QString>

#include <vector>

// The default output on PulseAudio (or PipeWire's pulse server). Muting the sink itself would
// also silence its monitor, which is what the helper records; so, as game-streaming hosts do,
// silencing loads a null sink of the helper's own, makes it the default and moves the playing
// streams onto it (streams that start later go there as the default). Giving the sound back
// moves the streams still on the null sink to the recorded sink, makes that the default again
// while the null sink still is, and unloads the null sink. The
// null sink remembers the sink it stands in for, so a helper that was killed can be undone.
class PulseAudioOutput final : public AudioOutput {
public:
    static constexpr const char* helperSinkName = "ovu_helper_mute";

    PulseAudioOutput();

    std::optional<Device> defaultOutput() override;
    std::optional<bool> isMuted(const Device& device) override;
    void silence(const Device& device) override;
    void unsilence(const Device& device) override;
    void removeLeftovers() override;

    // For tests and the sound capture: whether the helper's null sink exists now.
    bool helperSinkExists();

    struct Sink {
        std::uint32_t index = 0;
        QString name;
        bool muted = false;
        std::uint32_t ownerModule = 0;
        QString restoreSink;
    };

private:
    struct Input {
        std::uint32_t index = 0;
        std::uint32_t sink = 0;
    };
    std::vector<Sink> sinks();
    std::vector<Input> inputs();
    std::optional<QString> defaultSinkName();
    void move(std::uint32_t input, const QString& toSink);
    void setDefault(const QString& name);
    void giveBack(const QString& target, const std::vector<Sink>& all);

    PulseConnection m_pulse{"OVU Helper"};
};
