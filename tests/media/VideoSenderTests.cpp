#include "base/HelperLog.h"
#include "link/LinkMessages.h"
#include "media/HelperEncoderFactory.h"
#include "media/PixelBufferPool.h"
#include "media/VideoSender.h"
#include "media/rtc/RtcPeerConnection.h"
#include "phone/PhoneViewer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FramePump.h"
#include "tests/support/LogReader.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/SignalMessages.h"

#include <QRegularExpression>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Tests::deliver;
using Tests::messageOf;

// A sender and a phone viewer whose signalling goes straight from one to the other.
struct Link {
    VideoSender sender;
    PhoneViewer viewer;
    QList<QJsonObject> toPhone;
    QList<SenderState> states;
    QList<SenderStats> stats;
    QList<QByteArray> packets;
    std::vector<PhoneViewer::Picture> pictures;

    explicit Link(const QString& preferredProfile = {}, int maxBitrate = 6'000'000,
                  VideoSender::Options options = {})
        : sender(60, maxBitrate, options)
        , viewer(preferredProfile)
    {
        sender.sendSignal = [this](const VideoSender::Signal& signal) {
            const QJsonObject message = messageOf(signal);
            toPhone.append(message);
            viewer.receive(message);
        };
        viewer.sendSignal = [this](const QJsonObject& message) { deliver(sender, message); };
        viewer.onPicture = [this](const PhoneViewer::Picture& picture) { pictures.push_back(picture); };
        viewer.onAudioPacket = [this](const QByteArray& packet) { packets.append(packet); };
        sender.onState = [this](const SenderState& state) { states.append(state); };
        sender.onStats = [this](const SenderStats& s) { stats.append(s); };
        sender.onControlMessage = [](const QByteArray&) {};
    }
    ~Link()
    {
        if (sender.hasPeerConnection()) {
            sender.stop();
        }
    }
    bool waitConnected()
    {
        return Tests::waitUntil(
            [&] { return states.contains(SenderState::connected()) && viewer.hasControlChannel(); }, 20s);
    }
};

QString videoSection(const QString& sdp)
{
    const qsizetype start = sdp.indexOf(u"m=video"_s);
    const qsizetype end = sdp.indexOf(u"\r\nm="_s, start + 1);
    return sdp.mid(start, end < 0 ? -1 : end - start);
}

} // namespace

class VideoSenderProfiles : public ::testing::TestWithParam<QString> {};

TEST_P(VideoSenderProfiles, PictureDecodedWhicheverEntryTheAnswerPicks)
{
    Link link(GetParam());
    link.sender.start();
    Tests::FramePump pump(link.sender, 1280, 720, 145, 54, 34); // green
    ASSERT_TRUE(Tests::waitUntil([&] { return link.pictures.size() >= 60; }, 20s));
    const PhoneViewer::Picture& last = link.pictures.back();
    EXPECT_EQ(last.width, 1280);
    EXPECT_EQ(last.height, 720);
    EXPECT_GT(qGreen(last.centre), 200) << std::hex << last.centre;
    EXPECT_LT(qRed(last.centre), 60);
    EXPECT_TRUE(link.viewer.figures().codec.contains(GetParam()))
        << link.viewer.figures().codec.toStdString();
    const auto encoder = link.sender.peerConnection()->negotiatedEncoder();
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->codec.parameters.value(u"profile-level-id"_s), GetParam());
    EXPECT_EQ(encoder->profile, GetParam().startsWith(u"64"_s) ? u"high"_s : u"constrained-baseline"_s);
    EXPECT_EQ(link.states.first(), SenderState::waiting());
    EXPECT_EQ(link.states.value(1), SenderState::connected());
}

INSTANTIATE_TEST_SUITE_P(BothEntries, VideoSenderProfiles, ::testing::Values(u"42e034"_s, u"640c34"_s));

TEST(VideoSenderLink, OfferStatsBitrateAndStop)
{
    Link link({}, 8'000'000);
    link.sender.start();
    Tests::FramePump pump(link.sender, 640, 360, 41, 240, 110);
    ASSERT_TRUE(link.waitConnected());
    // The offer: the two H.264 entries first, the track named.
    const QString offer = link.toPhone.value(0).value(u"sdp"_s).toString();
    const QString video = videoSection(offer);
    const QStringList payloads = video.section(u"\r\n"_s, 0, 0).split(u' ').mid(3);
    ASSERT_GE(payloads.size(), 2) << video.toStdString();
    for (const auto& [payload, profile] :
         {std::pair{payloads[0], u"640c34"_s}, std::pair{payloads[1], u"42e034"_s}}) {
        EXPECT_TRUE(video.contains(u"a=rtpmap:"_s + payload + u" H264/90000"_s));
        const QString fmtp =
            QRegularExpression(u"a=fmtp:"_s + payload + u" ([^\r]*)"_s).match(video).captured(1);
        EXPECT_TRUE(fmtp.contains(u"profile-level-id="_s + profile) &&
                    fmtp.contains(u"packetization-mode=1"_s) && fmtp.contains(u"level-asymmetry-allowed=1"_s))
            << fmtp.toStdString();
    }
    EXPECT_TRUE(video.contains(u"a=sendonly"_s));
    EXPECT_TRUE(video.contains(u"\r\na=msid:ovu ovu-video0"_s)) << "the track and its stream are named";
    EXPECT_TRUE(offer.contains(u"a=msid-semantic: WMS ovu\r\n"_s));

    ASSERT_TRUE(Tests::waitUntil(
        [&] { return link.stats.size() >= 2 && link.stats.last().framesPerSecond > 0; }, 10s));
    const SenderStats s = link.stats.last();
    EXPECT_GT(s.framesPerSecond, 20);
    EXPECT_LE(s.framesPerSecond, 70);
    EXPECT_GT(s.megabitsPerSecond, 0);
    EXPECT_LT(s.megabitsPerSecond, 12);
    EXPECT_EQ(s.width, 640);
    EXPECT_EQ(s.height, 360);
    EXPECT_EQ(s.encoder, u"H264 by x264enc"_s);

    EXPECT_EQ(link.sender.peerConnection()->encoderBitrate(), 8'000'000);
    link.sender.setMaxBitrate(12'000'000);
    EXPECT_EQ(link.sender.maxBitrateBps(), 12'000'000);
    EXPECT_EQ(link.sender.peerConnection()->encoderBitrate(), 12'000'000)
        << "the running encoder's upper bitrate";

    // A second answer comes in the wrong state: the library refuses it and the log says so.
    deliver(link.sender, {{u"t"_s, u"answer"_s}, {u"sdp"_s, link.viewer.answer()}});
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"answer refused: "_s));

    link.sender.stop();
    EXPECT_EQ(link.states.last(), SenderState::idle());
    const int statesAfterStop = int(link.states.size());
    const std::size_t picturesAfterStop = link.pictures.size();
    deliver(link.sender, {{u"t"_s, u"ice"_s}, {u"sdp"_s, u"candidate:1 1 UDP 1 10.77.0.1 9 typ host"_s}});
    deliver(link.sender, {{u"t"_s, u"answer"_s}, {u"sdp"_s, u"v=0"_s}});
    Tests::spin(300ms); // the pump keeps pushing: nothing goes anywhere
    EXPECT_EQ(link.states.size(), statesAfterStop);
    // What the viewer had received is still decoded (a picture or two, dozens under a sanitizer);
    // then nothing more comes, although the pump keeps pushing.
    std::size_t decoded = 0;
    EXPECT_TRUE(Tests::waitUntil(
        [&] {
            decoded = link.pictures.size();
            Tests::spin(300ms);
            return link.pictures.size() == decoded;
        },
        10s))
        << link.pictures.size() - picturesAfterStop << " pictures after the stop";
    EXPECT_FALSE(link.sender.hasPeerConnection());
}

// A still screen gives the sender one picture, whenever it comes: before the connection, or
// while ICE and DTLS are still being set up (its key frame then reaches nobody). The viewer must
// still get a picture, and the still picture must not be encoded again and again afterwards.
TEST(VideoSenderLink, TheOnlyPictureOfAStillScreenReachesTheViewerWheneverItCame)
{
    PixelBufferPool pool;
    const auto grey = [&] {
        auto buffer = pool.acquire(320, 180);
        std::memset(buffer->luma(), 128, static_cast<size_t>(buffer->lumaStride()) * 180);
        std::memset(buffer->chroma(), 128, static_cast<size_t>(buffer->chromaStride()) * 90);
        return buffer;
    };
    const auto now = [] { return std::chrono::steady_clock::now().time_since_epoch(); };
    enum class When { beforeTheAnswer, withTheAnswer, untilIceConnects };
    for (const When when : {When::beforeTheAnswer, When::withTheAnswer, When::untilIceConnects}) {
        SCOPED_TRACE(int(when));
        Link link;
        // A phone that has received nothing asks for nothing.
        link.viewer.askForKeyFrames(false);
        link.viewer.sendSignal = [&](const QJsonObject& message) {
            deliver(link.sender, message);
            if (when == When::withTheAnswer && message.value(u"t"_s) == u"answer"_s) {
                link.sender.sendFrame(grey(), now());
            }
        };
        // The screen changes while the connection is being made, then stands still.
        QTimer changing;
        QObject::connect(&changing, &QTimer::timeout, [&] { link.sender.sendFrame(grey(), now()); });
        link.sender.onState = [&](const SenderState& state) {
            if (state == SenderState::connected()) {
                changing.stop();
            }
        };
        link.sender.start();
        if (when == When::untilIceConnects) {
            changing.start(20);
        }
        if (when == When::beforeTheAnswer) {
            link.sender.sendFrame(grey(), now());
        }
        ASSERT_TRUE(Tests::waitUntil([&] { return !link.pictures.empty(); }, 20s));
        EXPECT_EQ(link.pictures.back().width, 320);
        EXPECT_EQ(qRed(link.pictures.back().centre), qBlue(link.pictures.back().centre)) << "grey";
        // Once the connection's own repeats (ICE up, DTLS up) are over, a still screen is not
        // encoded again unasked.
        Tests::spin(1s);
        const std::size_t settled = link.pictures.size();
        Tests::spin(1500ms);
        EXPECT_LE(link.pictures.size(), settled + 1);
        link.sender.stop();
    }
}

TEST(VideoSenderLink, SoundPacketsAreNumberedInWholeBuffersAndReported)
{
    // With -inputlog: the sound report.
    Link link({}, 6'000'000, {.logsAudio = true});
    link.sender.sendAudio(QByteArray(4096, 'x'));
    EXPECT_EQ(link.sender.audioSequence(), 0u) << "no channel yet: dropped";
    link.sender.start();
    ASSERT_TRUE(link.waitConnected());
    ASSERT_TRUE(Tests::waitUntil([&] { return link.viewer.figures().channels.size() == 2; }));
    Tests::spin(200ms);
    std::thread sound([&] {
        for (int i = 0; i < 50; ++i) {
            link.sender.sendAudio(QByteArray(4096, char(i)));
            std::this_thread::sleep_for(10ms);
        }
    });
    sound.join();
    const std::uint32_t sent = link.sender.audioSequence();
    // Under back-pressure whole buffers are dropped: always three packets a buffer.
    EXPECT_EQ(sent % 3, 0u);
    EXPECT_GE(sent, 30u);
    // The channel does not resend: on loopback nothing is lost, unless a sanitizer slows the
    // receiving end so much that its socket's buffer overflows (half of the packets under
    // ThreadSanitizer); then the sizes of those that come are still checked.
    const std::uint32_t arriving = Tests::sanitized ? 10 : sent;
    ASSERT_TRUE(Tests::waitUntil([&] { return std::uint32_t(link.packets.size()) >= arriving; }, 10s))
        << link.packets.size() << " of " << sent;
    if (!Tests::sanitized) {
        EXPECT_EQ(link.viewer.figures().audioSequenceBreaks, 0);
    }
    for (const QByteArray& packet : link.packets) {
        const auto number = qFromBigEndian<std::uint32_t>(packet.constData());
        EXPECT_EQ(packet.size(), number % 3 < 2 ? 1924 : 260) << "1920, 1920 and 256 bytes of sound";
    }

    // With -inputlog the report counts the packets and the loudest sample, then starts again.
    link.sender.readStats();
    QByteArray loud(4, '\0');
    loud[2] = '\x00';
    loud[3] = '\x80'; // -32768, little-endian
    link.sender.sendAudio(loud);
    link.sender.readStats();
    link.sender.readStats();
    const QStringList reports = Tests::logMessages(HelperLog::path()).filter(u"sound: "_s);
    ASSERT_GE(reports.size(), 3);
    EXPECT_EQ(reports[reports.size() - 2], u"sound: 1 packets, peak 32767"_s);
    EXPECT_EQ(reports.last(), u"sound: 0 packets, peak 0"_s);
}

// The offer puts H.264 first (checked in the offer); without H.264 there is nothing to offer.
TEST(VideoSenderUnits, SoundBelowTheBackPressureAndNoOfferWithoutH264)
{
    EXPECT_TRUE(VideoSender::acceptsAudio(true, 63'999));
    EXPECT_FALSE(VideoSender::acceptsAudio(true, 64'000));
    EXPECT_FALSE(VideoSender::codecPreferences({{u"VP8"_s, {}}, {u"VP9"_s, {}}}));
    EXPECT_TRUE(
        Tests::waitForLogLine(HelperLog::path(), u"this WebRTC build offers no H.264: [\"VP8\", \"VP9\"]"_s));
}

namespace {

// The encoders the platform offers, passed through as they are asked for.
class PassingFactory final : public RtcEncoderFactory {
public:
    std::vector<RtcCodecInfo> supportedCodecs() const override { return {}; }
    std::optional<RtcEncoderSpec> createEncoder(const RtcCodecInfo& codec) const override
    {
        return RtcEncoderSpec{codec, u"fake"_s, u"fakepay"_s, {}};
    }
};

} // namespace

// The offer's two entries are checked in the offer itself; an answer may name another profile
// or level.
TEST(HelperEncoderFactory, TheLevelBecomesFivePointTwoWhateverTheProfile)
{
    HelperEncoderFactory factory(std::make_unique<PassingFactory>());
    const auto levelFor = [&](const QString& profile) {
        return factory.createEncoder({u"H264"_s, {{u"profile-level-id"_s, profile}}})
            ->codec.parameters.value(u"profile-level-id"_s);
    };
    EXPECT_EQ(levelFor(u"640c1f"_s), u"640c34"_s);
    EXPECT_EQ(levelFor(u"4d001f"_s), u"4d0034"_s);
    EXPECT_EQ(levelFor(u"42e01"_s), u"42e034"_s) << "no profile: constrained baseline";
}
