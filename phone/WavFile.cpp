#include "phone/WavFile.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr qint64 headerBytes = 44;

QByteArray header(int sampleRate, int channels, std::int64_t dataBytes)
{
    // A RIFF size is 32 bits: a longer recording keeps its data, with the largest sizes written.
    const auto data = static_cast<std::uint32_t>(
        std::min<std::int64_t>(dataBytes, std::numeric_limits<std::uint32_t>::max() - headerBytes));
    QByteArray bytes(headerBytes, '\0');
    char* p = bytes.data();
    auto u32 = [&](int at, std::uint32_t value) { qToLittleEndian(value, p + at); };
    auto u16 = [&](int at, std::uint16_t value) { qToLittleEndian(value, p + at); };
    std::memcpy(p, "RIFF", 4);
    u32(4, 36 + data);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    u32(16, 16);
    u16(20, 1); // PCM
    u16(22, static_cast<std::uint16_t>(channels));
    u32(24, static_cast<std::uint32_t>(sampleRate));
    u32(28, static_cast<std::uint32_t>(sampleRate * channels * 2));
    u16(32, static_cast<std::uint16_t>(channels * 2));
    u16(34, 16);
    std::memcpy(p + 36, "data", 4);
    u32(40, data);
    return bytes;
}

} // namespace

WavFile::WavFile(QString path, int sampleRate, int channels)
    : m_file(std::move(path))
    , m_sampleRate(sampleRate)
    , m_channels(channels)
{}

WavFile::~WavFile()
{
    close();
}

bool WavFile::open()
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    m_failed = m_file.write(header(m_sampleRate, m_channels, 0)) != headerBytes;
    return !m_failed;
}

void WavFile::append(const QByteArray& samples)
{
    if (!m_file.isOpen() || m_failed) {
        return;
    }
    if (m_file.write(samples) != samples.size()) {
        m_failed = true;
        return;
    }
    m_dataBytes += samples.size();
}

bool WavFile::close()
{
    if (!m_file.isOpen()) {
        return !m_failed;
    }
    if (!m_failed) {
        m_failed =
            !m_file.seek(0) || m_file.write(header(m_sampleRate, m_channels, m_dataBytes)) != headerBytes;
    }
    m_file.close();
    return !m_failed && m_file.error() == QFileDevice::NoError;
}
