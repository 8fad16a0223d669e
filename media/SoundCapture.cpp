#include "media/SoundCapture.h"

#include "media/SoundPackets.h"

SoundCapture::SoundCapture(SoundSource& source) : m_source(source)
{}

SoundCapture::~SoundCapture()
{
    stop();
}

void SoundCapture::start()
{
    if (!m_stream) {
        m_stream = m_source.start(*this);
    }
}

void SoundCapture::stop()
{
    if (m_stream) {
        m_stream->stop();
        m_stream.reset();
    }
}

void SoundCapture::audioSample(const AudioSample& sample)
{
    if (std::optional<QByteArray> pcm = SoundPackets::interleaved16(sample); pcm && onAudio) {
        onAudio(*pcm);
    }
}
