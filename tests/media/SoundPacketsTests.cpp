#include "media/SoundPackets.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <limits>

namespace {

QByteArray floats(const std::vector<float>& values)
{
    return QByteArray(reinterpret_cast<const char*>(values.data()), qsizetype(values.size() * 4));
}

AudioSample sample(std::int64_t frames, std::vector<AudioSample::Buffer> buffers)
{
    return AudioSample{AudioSample::Description{}, frames, std::move(buffers)};
}

} // namespace

TEST(SoundPackets, FloatSoundBecomes16BitStereoAtFourFifthsOfFullScale)
{
    using Frames = std::vector<std::pair<int, int>>;
    const auto frames = [](const AudioSample& s) {
        const std::optional<QByteArray> out = SoundPackets::interleaved16(s);
        Frames result;
        for (int i = 0; out && i < out->size() / 4; ++i) {
            result.emplace_back(qFromLittleEndian<qint16>(out->constData() + 4 * i),
                                qFromLittleEndian<qint16>(out->constData() + 4 * i + 2));
        }
        return result;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 1.0 and beyond, and NaN, are 26213; truncated towards zero.
    EXPECT_EQ(frames(sample(4, {{2, floats({1.0f, -1.0f, 0.5f, -0.00001f, 2.0f, -3.0f, nan, 0.0f})}})),
              (Frames{{26213, -26213}, {13106, 0}, {26213, -26213}, {26213, 0}}));
    // Planar stereo; mono on both sides; six channels give their first two; a second buffer
    // without data takes the first.
    EXPECT_EQ(frames(sample(2, {{1, floats({0.5f, 0.5f})}, {1, floats({-0.25f, -0.25f})}})),
              (Frames{{13106, -6553}, {13106, -6553}}));
    EXPECT_EQ(frames(sample(1, {{1, floats({0.25f})}})), (Frames{{6553, 6553}}));
    EXPECT_EQ(frames(sample(1, {{6, floats({0.5f, 0.25f, 0.9f, 0.9f, 0.9f, 0.9f})}})),
              (Frames{{13106, 6553}}));
    EXPECT_EQ(frames(sample(1, {{1, floats({0.5f})}, {1, QByteArray()}})), (Frames{{13106, 13106}}));
    // No data is silence of the right length; data shorter than announced is read no further.
    EXPECT_EQ(*SoundPackets::interleaved16(sample(480, {})), QByteArray(1920, '\0'));
    EXPECT_EQ(frames(sample(2, {{2, floats({0.5f, 0.5f})}})), (Frames{{13106, 13106}, {0, 0}}));
    // Other formats give nothing.
    AudioSample integer = sample(4, {{2, QByteArray(16, '\1')}});
    integer.description->formatFlags = 0x4;
    integer.description->bitsPerChannel = 16;
    AudioSample aac = sample(4, {{2, QByteArray(32, '\0')}});
    aac.description->formatID = 0x61616320;
    for (const AudioSample& refused :
         {integer, aac, AudioSample{std::nullopt, 4, std::vector<AudioSample::Buffer>{}},
          sample(0, {{2, floats({0.5f, 0.5f})}}), AudioSample{AudioSample::Description{}, 4, std::nullopt}}) {
        EXPECT_FALSE(SoundPackets::interleaved16(refused));
    }
}

TEST(SoundPackets, APacketIsABigEndianNumberThenTheSamples)
{
    const QByteArray packet = SoundPackets::packet(0x01020304, "pcm");
    EXPECT_EQ(packet, QByteArray("\x01\x02\x03\x04pcm"));
    const auto read = SoundPackets::read(packet);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->sequence, 0x01020304u);
    EXPECT_EQ(read->pcm, "pcm");
    EXPECT_FALSE(SoundPackets::read("abc"));
}
