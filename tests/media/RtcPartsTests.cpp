#include "media/PixelBufferPool.h"
#include "media/rtc/RtcEncoderTable.h"
#include "media/rtc/RtcRuntime.h"
#include "media/rtc/RtcSdp.h"
#include "media/rtc/RtcStillRepeater.h"

#include <QRegularExpression>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <tuple>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QString sdp(const QStringList& lines)
{
    return (QStringList{u"v=0"_s, u"o=- 1 0 IN IP4 0.0.0.0"_s, u"s=-"_s, u"t=0 0"_s} + lines)
               .join(u"\r\n"_s) +
           u"\r\n"_s;
}

QString joined(const QMap<QString, QString>& parameters)
{
    QStringList parts;
    for (auto it = parameters.begin(); it != parameters.end(); ++it) {
        parts.append(it.key() + u'=' + it.value());
    }
    return parts.join(u',');
}

QString describe(const std::optional<RtcSdp::PayloadCodec>& codec)
{
    return codec ? QString::number(codec->payloadType) + u' ' + codec->codec.name + u' ' +
                       joined(codec->codec.parameters)
                 : u"none"_s;
}

const QString twoH264 =
    sdp({u"m=video 9 UDP/TLS/RTP/SAVPF 96 97"_s, u"a=mid:video0"_s, u"a=sendonly"_s,
         u"a=rtpmap:96 H264/90000"_s, u"a=fmtp:96 profile-level-id=640c34;packetization-mode=1"_s,
         u"a=rtpmap:97 H264/90000"_s, u"a=fmtp:97 profile-level-id=42e034;packetization-mode=1"_s});

} // namespace

TEST(RtcSdp, ReadAndAmendedAsText)
{
    struct Row {
        const char* what;
        QString text;
        std::function<QString(const QString&)> apply;
        QString expected;
    };
    const auto negotiated = [](const QString& text) { return describe(RtcSdp::negotiatedCodec(text)); };
    const auto named = [](const QString& text) {
        return RtcSdp::withTrackName(text, u"ovu ovu-video0"_s)
            .split(u"\r\n"_s)
            .filter(QRegularExpression(u"^a=msid"_s))
            .join(u'|');
    };
    const auto payloadOf = [](const QString& profile) {
        return [profile](const QString& text) {
            return QString::number(RtcSdp::payloadTypeFor(text, profile).value_or(-1));
        };
    };
    const auto answered = [](const QString& text) { return RtcSdp::answeredCodec(text, twoH264); };
    const Row rows[] = {
        {"the answer's first payload type, its rtpmap and fmtp only",
         sdp({u"m=video 9 UDP/TLS/RTP/SAVPF 97"_s, u"a=rtpmap:97 H264/90000"_s, u"a=rtcp-fb:97 nack"_s,
              u"a=fmtp:970 x=1"_s, u"a=fmtp:97 profile-level-id=42e034; packetization-mode=1"_s}),
         negotiated, u"97 H264 packetization-mode=1,profile-level-id=42e034"_s},
        {"a rejected video section and audio are passed over",
         sdp({u"m=audio 9 UDP/TLS/RTP/SAVPF 111"_s, u"a=rtpmap:111 opus/48000/2"_s,
              u"m=video 0 UDP/TLS/RTP/SAVPF 96"_s, u"a=rtpmap:96 VP8/90000"_s,
              u"m=video 9 UDP/TLS/RTP/SAVPF 98"_s, u"a=rtpmap:98 H264/90000"_s}),
         negotiated, u"98 H264 "_s},
        {"no video, no codec", sdp({u"m=application 9 UDP/DTLS/SCTP webrtc-datachannel"_s}), negotiated,
         u"none"_s},
        {"a send-only video section gets the track, the session the stream",
         sdp({u"a=msid-semantic: WMS old"_s, u"m=video 9 UDP/TLS/RTP/SAVPF 96"_s, u"a=sendonly"_s,
              u"m=video 9 UDP/TLS/RTP/SAVPF 97"_s, u"a=recvonly"_s}),
         named, u"a=msid-semantic: WMS ovu|a=msid:ovu ovu-video0"_s},
        {"a section that names its track keeps it",
         sdp({u"m=video 9 UDP/TLS/RTP/SAVPF 96"_s, u"a=sendonly"_s, u"a=msid:s t"_s}), named,
         u"a=msid-semantic: WMS ovu|a=msid:s t"_s},
        {"media ids by line, empty where a section has none",
         sdp({u"m=video 9 UDP/TLS/RTP/SAVPF 96"_s, u"a=mid:video0"_s, u"m=audio 9 UDP/TLS/RTP/SAVPF 111"_s,
              u"m=application 9 UDP/DTLS/SCTP webrtc-datachannel"_s, u"a=mid:2"_s}),
         [](const QString& text) {
             const std::vector<QString> ids = RtcSdp::mediaIds(text);
             return QStringList(ids.begin(), ids.end()).join(u'|');
         },
         u"video0||2"_s},
        {"the offer's payload type of a profile", twoH264, payloadOf(u"42e034"_s), u"97"_s},
        {"a profile the offer lacks", twoH264, payloadOf(u"4d0034"_s), u"-1"_s},
        {"the answered codec with the profile the offer gave its payload type",
         sdp({u"m=video 9 UDP/TLS/RTP/SAVPF 97"_s, u"a=rtpmap:97 H264/90000"_s}), answered, u"H264 42e034"_s},
        {"the answered codec alone when the offer gave no profile",
         sdp({u"m=video 9 UDP/TLS/RTP/SAVPF 98"_s, u"a=rtpmap:98 VP8/90000"_s}), answered, u"VP8"_s},
        {"fmtp parameters: trimmed, empty and nameless parts left out", u"a=1; b = 2;;c;=d"_s,
         [](const QString& text) { return joined(RtcSdp::fmtpParameters(text)); }, u"a=1,b=2"_s},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.apply(row.text), row.expected) << row.what;
    }
}

TEST(RtcEncoderTable, EncodersByCodecInOrderOfPreferenceTheirBitrateUnitsAndSettings)
{
    const std::tuple<QString, std::set<QString>, const char*> rows[] = {
        {u"H264"_s, {u"x264enc"_s, u"openh264enc"_s, u"vp8enc"_s}, "x264enc"},
        {u"h264"_s, {u"openh264enc"_s}, "openh264enc"},
        {u"VP8"_s, {u"x264enc"_s, u"vp8enc"_s}, "vp8enc"},
        {u"H264"_s, {u"vp8enc"_s}, ""},
        {u"VP9"_s, {u"x264enc"_s, u"openh264enc"_s, u"vp8enc"_s}, ""},
    };
    for (const auto& [codec, installed, expected] : rows) {
        const RtcEncoderEntry* entry = RtcEncoderTable::forCodec(
            codec, [&](const char* element) { return installed.contains(QString::fromLatin1(element)); });
        EXPECT_EQ(entry ? entry->element : "", std::string(expected)) << codec.toStdString();
    }

    // x264enc counts kbit/s (at least 1), the others bit/s.
    RtcRuntime::init();
    for (const auto& [name, at6Mbits, at999bits] : {std::tuple{"x264enc", 6000LL, 1LL},
                                                    {"openh264enc", 6'000'000LL, 999LL},
                                                    {"vp8enc", 6'000'000LL, 999LL}}) {
        SCOPED_TRACE(name);
        const RtcEncoderEntry* entry = RtcEncoderTable::find(QString::fromLatin1(name));
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->encoderBitrate(6'000'000), at6Mbits);
        EXPECT_EQ(entry->encoderBitrate(999), at999bits);
        // Every installed element takes its settings, and gives back the bitrate it was set to.
        GstElement* encoder = gst_element_factory_make(name, nullptr);
        GstElement* payloader = gst_element_factory_make(entry->payloader, nullptr);
        if (!encoder || !payloader) {
            continue;
        }
        const Result<> configured = RtcEncoderTable::configure(encoder, *entry, 8'000'000);
        EXPECT_TRUE(configured.ok()) << configured.error().toStdString();
        EXPECT_EQ(RtcEncoderTable::bitrate(encoder, *entry), 8'000'000);
        EXPECT_TRUE(RtcEncoderTable::configurePayloader(payloader, *entry).ok());
        RtcEncoderEntry wrong = *entry;
        wrong.bitrateProperty = "no-such-property";
        EXPECT_FALSE(RtcEncoderTable::configure(encoder, wrong, 8'000'000).ok());
        gst_object_unref(encoder);
        gst_object_unref(payloader);
    }
}

// A phone that lost a picture asks for a key frame: on a still screen the last picture is encoded
// again, at once or when the interval since the last push has passed, once, and not at all when a
// new picture came meanwhile. (The repeats after the connection is up are the sender tests'.)
TEST(RtcStillRepeater, AKeyFrameRequestEncodesTheStillPictureOnceAndNotOverAMovingScreen)
{
    std::chrono::nanoseconds now = 10s;
    std::multimap<std::chrono::nanoseconds, std::function<void()>> due;
    RtcStillRepeater repeater([&](std::chrono::milliseconds delay,
                                  std::function<void()> work) { due.emplace(now + delay, std::move(work)); },
                              [&] { return now; });
    std::vector<std::chrono::nanoseconds> repeated;
    const auto push = [&](const std::shared_ptr<PixelBuffer>& picture) {
        repeater.offered(picture, now);
        repeater.pushed(now);
    };
    repeater.repeat = [&](const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds) {
        repeated.push_back(now);
        push(picture);
    };
    const auto advance = [&](std::chrono::milliseconds by) {
        const auto until = now + by;
        while (!due.empty() && due.begin()->first <= until) {
            now = due.begin()->first;
            auto work = std::move(due.begin()->second);
            due.erase(due.begin());
            work();
        }
        now = until;
    };
    PixelBufferPool pool{2};
    const auto first = pool.acquire(16, 16);

    repeater.keyFrameRequested();
    EXPECT_TRUE(repeated.empty()) << "no picture yet";
    repeater.offered(first, now); // before the encoder exists: offered, never pushed
    repeater.keyFrameRequested();
    EXPECT_EQ(repeated, std::vector{now}) << "nothing pushed lately: at once";
    advance(30ms);
    repeater.keyFrameRequested();
    repeater.keyFrameRequested();
    ASSERT_EQ(due.size(), 1u) << "30 ms after a push: put off, once";
    EXPECT_EQ(due.begin()->first, repeated[0] + 101ms);
    advance(100ms);
    EXPECT_EQ(repeated.size(), 2u) << "a still screen gets it when the interval has passed";

    repeater.keyFrameRequested();
    advance(20ms);
    push(pool.acquire(16, 16)); // the screen moved after the request: that picture carries it
    advance(200ms);
    EXPECT_EQ(repeated.size(), 2u);
    repeater.keyFrameRequested();
    EXPECT_EQ(repeated.size(), 3u) << "the pending repeat is over; the next request is served";
    repeater.close();
    advance(1s);
    repeater.keyFrameRequested();
    EXPECT_EQ(repeated.size(), 3u) << "closed";
}
