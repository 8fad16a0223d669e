#pragma once

#include "media/AudioSample.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>

// The sound as it travels on "ovu-audio": 16-bit stereo at 48 kHz in packets of a 4-byte
// big-endian sequence number and at most `maximumPcmBytes` of samples. Both ends use this.
namespace SoundPackets {

// 10 ms of 48 kHz stereo at 16 bits.
constexpr qsizetype maximumPcmBytes = 1920;

// 32-bit float sound (interleaved or planar, any channel count) as interleaved signed 16-bit
// little-endian stereo: 4 bytes a frame, full scale at ±26213; nothing for any other format.
std::optional<QByteArray> interleaved16(const AudioSample& sample);

// One packet: the number, then the samples.
QByteArray packet(std::uint32_t sequence, QByteArrayView pcm);

struct Packet {
    std::uint32_t sequence = 0;
    QByteArrayView pcm;
};
// Nothing for a packet too short to hold a number.
std::optional<Packet> read(QByteArrayView packet);

} // namespace SoundPackets
