#include "core/OutputSilencer.h"

#include "base/HelperLog.h"

using namespace Qt::StringLiterals;

OutputSilencer::OutputSilencer(std::unique_ptr<AudioOutput> output) : m_output(std::move(output))
{}

void OutputSilencer::mute()
{
    if (m_mutedDevice || !m_output) {
        return;
    }
    // No default output (or one that cannot be read) is nothing to mute. Unlike CoreAudio's
    // device 0, a sink index 0 is a real sink.
    const std::optional<AudioOutput::Device> device = m_output->defaultOutput();
    if (!device) {
        return;
    }
    const std::optional<bool> muted = m_output->isMuted(*device);
    if (!muted || *muted) {
        return; // no mute control, or muted by the user: left alone
    }
    m_output->silence(*device);
    m_mutedDevice = device;
    HelperLog::write(u"muted this Mac's output"_s);
}

void OutputSilencer::restore()
{
    if (!m_mutedDevice) {
        return;
    }
    const AudioOutput::Device device = *m_mutedDevice;
    m_mutedDevice = std::nullopt;
    m_output->unsilence(device);
    HelperLog::write(u"un-muted this Mac's output"_s);
}

void OutputSilencer::removeLeftovers()
{
    if (m_output && !m_mutedDevice) {
        m_output->removeLeftovers();
    }
}
