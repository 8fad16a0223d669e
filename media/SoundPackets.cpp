#include "media/SoundPackets.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

std::int16_t sampleValue(float x)
{
    // 0.8 of full scale (26213.6 in single precision), so the result never reaches the limits;
    // 1.0 and above, and NaN, give 26213.
    if (x < 1.0f) {
        return static_cast<std::int16_t>(std::trunc(std::max(x, -1.0f) * 26213.6f));
    }
    return 26213;
}

// The float at an index of a buffer, 0 past its end.
float floatAt(const QByteArray& data, std::int64_t index)
{
    if (index < 0 || (index + 1) * 4 > data.size()) {
        return 0.0f;
    }
    float value = 0;
    std::memcpy(&value, data.constData() + index * 4, 4);
    return value;
}

} // namespace

namespace SoundPackets {

std::optional<QByteArray> interleaved16(const AudioSample& sample)
{
    if (!sample.description || sample.description->formatID != AudioSample::linearPCM ||
        (sample.description->formatFlags & AudioSample::floatFlag) == 0 ||
        sample.description->bitsPerChannel != 32) {
        return std::nullopt;
    }
    const std::int64_t frames = sample.frameCount;
    if (frames < 1) {
        return std::nullopt;
    }
    QByteArray output(static_cast<qsizetype>(4 * frames), '\0');
    if (!sample.buffers) {
        return std::nullopt;
    }
    const std::vector<AudioSample::Buffer>& list = *sample.buffers;
    if (list.empty() || list.front().data.isEmpty()) {
        return output; // silence of the right length
    }
    const AudioSample::Buffer& first = list.front();
    const bool interleaved = list.size() == 1 && first.channels > 1;
    const std::int64_t stride = interleaved ? first.channels : 1;
    const QByteArray& right = list.size() >= 2 && !list[1].data.isEmpty() ? list[1].data : first.data;
    char* out = output.data();
    for (std::int64_t i = 0; i < frames; ++i) {
        const std::int16_t left = sampleValue(floatAt(first.data, i * stride));
        const std::int16_t other =
            sampleValue(interleaved ? floatAt(first.data, i * stride + 1)
                                    : floatAt(list.size() >= 2 ? right : first.data, i));
        qToLittleEndian(left, out + 4 * i);
        qToLittleEndian(other, out + 4 * i + 2);
    }
    return output;
}

QByteArray packet(std::uint32_t sequence, QByteArrayView pcm)
{
    QByteArray bytes(4 + pcm.size(), Qt::Uninitialized);
    qToBigEndian(sequence, bytes.data());
    std::memcpy(bytes.data() + 4, pcm.data(), static_cast<size_t>(pcm.size()));
    return bytes;
}

std::optional<Packet> read(QByteArrayView packet)
{
    if (packet.size() < 4) {
        return std::nullopt;
    }
    return Packet{qFromBigEndian<std::uint32_t>(packet.data()), packet.sliced(4)};
}

} // namespace SoundPackets
