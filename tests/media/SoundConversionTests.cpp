#include "media/ScreenCapture.h"
#include "tests/support/EventLoop.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

QByteArray floats(std::initializer_list<float> values)
{
    QByteArray out;
    for (float value : values) {
        out.append(reinterpret_cast<const char*>(&value), 4);
    }
    return out;
}

QByteArray repeated(float value, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i) {
        out.append(reinterpret_cast<const char*>(&value), 4);
    }
    return out;
}

AudioSample sample(std::int64_t frames, std::vector<AudioSample::Buffer> buffers)
{
    return AudioSample{AudioSample::Description{}, frames, std::move(buffers)};
}

std::pair<int, int> frameAt(const QByteArray& bytes, int frame)
{
    return {qFromLittleEndian<qint16>(bytes.constData() + 4 * frame),
            qFromLittleEndian<qint16>(bytes.constData() + 4 * frame + 2)};
}

} // namespace

TEST(Interleaved16, ValueRule)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto out = ScreenCapture::interleaved16(
        sample(4, {{2, floats({1.0f, -1.0f, 0.5f, -0.00001f, 2.0f, -3.0f, nan, 0.0f})}}));
    ASSERT_TRUE(out);
    ASSERT_EQ(out->size(), 16);
    EXPECT_EQ(frameAt(*out, 0), (std::pair{26213, -26213}));
    EXPECT_EQ(frameAt(*out, 1), (std::pair{13106, 0}));
    EXPECT_EQ(frameAt(*out, 2), (std::pair{26213, -26213}));
    EXPECT_EQ(frameAt(*out, 3), (std::pair{26213, 0})) << "NaN counts as full scale";
}

TEST(Interleaved16, PlanarStereoOf1024FramesIs4096Bytes)
{
    const auto out =
        ScreenCapture::interleaved16(sample(1024, {{1, repeated(0.5f, 1024)}, {1, repeated(-0.25f, 1024)}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 4096);
    EXPECT_EQ(frameAt(*out, 1023), (std::pair{13106, -6553}));
}

TEST(Interleaved16, MonoGoesToBothChannels)
{
    const auto out = ScreenCapture::interleaved16(sample(3, {{1, repeated(0.25f, 3)}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(frameAt(*out, 2), (std::pair{6553, 6553}));
}

TEST(Interleaved16, SixChannelsGiveTheirFirstTwo)
{
    const auto out = ScreenCapture::interleaved16(sample(
        2, {{6, floats({0.5f, 0.25f, 0.9f, 0.9f, 0.9f, 0.9f, -0.5f, -0.25f, 0.9f, 0.9f, 0.9f, 0.9f})}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(frameAt(*out, 0), (std::pair{13106, 6553}));
    EXPECT_EQ(frameAt(*out, 1), (std::pair{-13106, -6553}));
}

TEST(Interleaved16, SecondBufferWithoutDataTakesTheFirst)
{
    const auto out = ScreenCapture::interleaved16(sample(2, {{1, floats({0.5f, 0.25f})}, {1, QByteArray()}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(frameAt(*out, 1), (std::pair{6553, 6553}));
}

TEST(Interleaved16, EmptyListOrNoDataIsSilenceOfTheRightLength)
{
    auto out = ScreenCapture::interleaved16(sample(480, {}));
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, QByteArray(1920, '\0'));
    out = ScreenCapture::interleaved16(sample(10, {{2, QByteArray()}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 40);
}

TEST(Interleaved16, OtherFormatsGiveNothing)
{
    AudioSample integer = sample(4, {{2, QByteArray(16, '\1')}});
    integer.description->formatFlags = 0x4; // signed integer, not float
    integer.description->bitsPerChannel = 16;
    EXPECT_FALSE(ScreenCapture::interleaved16(integer));
    AudioSample double64 = sample(4, {{2, QByteArray(64, '\0')}});
    double64.description->bitsPerChannel = 64;
    EXPECT_FALSE(ScreenCapture::interleaved16(double64));
    AudioSample other = sample(4, {{2, QByteArray(32, '\0')}});
    other.description->formatID = 0x61616320; // 'aac '
    EXPECT_FALSE(ScreenCapture::interleaved16(other));
    EXPECT_FALSE(
        ScreenCapture::interleaved16(AudioSample{std::nullopt, 4, std::vector<AudioSample::Buffer>{}}));
    EXPECT_FALSE(ScreenCapture::interleaved16(sample(0, {{2, floats({0.5f, 0.5f})}})));
    EXPECT_FALSE(ScreenCapture::interleaved16(AudioSample{AudioSample::Description{}, 4, std::nullopt}))
        << "no buffer list";
}

TEST(Interleaved16, StaysWithinBuffersShorterThanTheFrameCount)
{
    // Two frames of data but four announced: the rest is silence, nothing is read past the end.
    const auto out = ScreenCapture::interleaved16(sample(4, {{2, floats({0.5f, 0.5f, 0.5f, 0.5f})}}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 16);
    EXPECT_EQ(frameAt(*out, 1), (std::pair{13106, 13106}));
    EXPECT_EQ(frameAt(*out, 3), (std::pair{0, 0}));
}
