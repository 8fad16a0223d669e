#include "base/HelperLog.h"
#include "core/OutputSilencer.h"
#include "media/ScreenCapture.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/pulse/PulseSoundSource.h"
#include "platform/x11/X11CaptureBackend.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Processes.h"
#include "tests/support/Sound.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString speakers = u"ovu_test_speakers"_s;
const QString headphones = u"ovu_test_headphones"_s;
const QString helperSink = QString::fromLatin1(PulseAudioOutput::helperSinkName);
const QString muted = u"muted this Mac's output"_s;
const QString unmuted = u"un-muted this Mac's output"_s;

int logCount(const QString& message)
{
    HelperLog::flush();
    return static_cast<int>(Tests::logMessages(HelperLog::path()).count(message));
}

// Each case starts from the test machine's own state: speakers the default, nothing muted, no
// helper sink.
class Pulse : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString modules = Tests::pactl({u"list"_s, u"short"_s, u"modules"_s}).value_or(QString());
        for (const QString& line : modules.split(u'\n', Qt::SkipEmptyParts)) {
            if (line.contains(u"sink_name="_s + helperSink)) {
                Tests::pactl({u"unload-module"_s, line.section(u'\t', 0, 0)});
            }
        }
        Tests::pactl({u"set-default-sink"_s, speakers});
        Tests::pactl({u"set-sink-mute"_s, speakers, u"0"_s});
        Tests::pactl({u"set-sink-mute"_s, headphones, u"0"_s});
    }

    // The sound in the room: what the speakers' monitor carries. A null sink renders ahead, up to
    // its latency (2 s while no stream asks for less), and a stream moved between null sinks can
    // come back after a gap of as long: so the last 300 ms of 2.5 s.
    static QByteArray room() { return Tests::record(speakers + u".monitor"_s, 2500ms).right(4 * 14400); }
};

// Everything a sound source delivers, converted as the capture converts it.
class Collector : public CaptureBackend::Sink {
public:
    void videoSample(const CaptureBackend::VideoSample&) override {}
    void audioSample(const AudioSample& sample) override
    {
        const std::optional<QByteArray> bytes = ScreenCapture::interleaved16(sample);
        std::lock_guard lock(m_mutex);
        m_frames.push_back(sample.frameCount);
        if (bytes) {
            m_sound.append(*bytes);
        }
    }
    void streamStopped(const std::optional<CaptureError>&) override {}

    qsizetype bytes()
    {
        std::lock_guard lock(m_mutex);
        return m_sound.size();
    }
    // The sound of the last while.
    QByteArray last(std::chrono::milliseconds duration)
    {
        std::lock_guard lock(m_mutex);
        return m_sound.right(static_cast<qsizetype>(duration.count()) * Tests::soundRate / 1000 * 4);
    }
    std::int64_t medianFrames()
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::int64_t> sorted = m_frames;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[sorted.size() / 2];
    }
    // Waits for this much more sound than there is now.
    bool waitForMore(std::chrono::milliseconds duration)
    {
        const qsizetype target =
            bytes() + static_cast<qsizetype>(duration.count()) * Tests::soundRate / 1000 * 4;
        return Tests::waitUntil([&] { return bytes() >= target; }, duration + 5s);
    }

private:
    std::mutex m_mutex;
    QByteArray m_sound;
    std::vector<std::int64_t> m_frames;
};

// A full-scale tone as the helper hands it on (0.8 of 16-bit full scale), or, from pacat, at 16-bit
// full scale.
void expectTone(const QByteArray& sound, const char* where, double fullScale = Tests::helperFullScale)
{
    ASSERT_GT(sound.size(), 4800 * 4) << where;
    EXPECT_NEAR(Tests::dominantFrequency(sound), 1000, 10) << where;
    EXPECT_NEAR(Tests::levelDb(sound, fullScale), 0, 1) << where;
}

void expectRecordedTone(const QByteArray& sound, const char* where)
{
    expectTone(sound, where, 32767);
}

} // namespace

TEST_F(Pulse, MutingSilencesTheRoomButNotTheRecordingAndRestoringGivesItBack)
{
    Tests::TonePlayer tone;
    expectRecordedTone(room(), "before muting");
    const int mutedBefore = logCount(muted);
    const int unmutedBefore = logCount(unmuted);

    OutputSilencer mute(std::make_unique<PulseAudioOutput>());
    mute.mute();
    ASSERT_TRUE(mute.mutedDevice());
    EXPECT_EQ(mute.mutedDevice()->name, speakers);
    EXPECT_EQ(logCount(muted), mutedBefore + 1);
    EXPECT_TRUE(Tests::sinkExists(helperSink));
    EXPECT_EQ(Tests::defaultSink(), helperSink);
    EXPECT_EQ(Tests::streamSinks(), QStringList{helperSink});
    EXPECT_FALSE(Tests::sinkMuted(speakers))
        << "the sink itself is not muted: that would silence its monitor";
    EXPECT_TRUE(Tests::isSilent(room()));
    expectRecordedTone(Tests::record(helperSink + u".monitor"_s, 300ms), "the helper sink while muted");

    // A stream that starts while muted goes to the helper's sink as well, and comes back too.
    Tests::TonePlayer later;
    EXPECT_EQ(Tests::streamSinks(), (QStringList{helperSink, helperSink}));
    EXPECT_TRUE(Tests::isSilent(room()));

    mute.restore();
    EXPECT_FALSE(mute.mutedDevice());
    EXPECT_EQ(logCount(unmuted), unmutedBefore + 1);
    EXPECT_FALSE(Tests::sinkExists(helperSink));
    EXPECT_EQ(Tests::defaultSink(), speakers);
    EXPECT_EQ(Tests::streamSinks(), (QStringList{speakers, speakers}));
    later.stop();
    expectRecordedTone(room(), "after restoring");
}

TEST_F(Pulse, ASinkTheUserMutedIsLeftAloneAndNothingIsLogged)
{
    Tests::pactl({u"set-sink-mute"_s, speakers, u"1"_s});
    Tests::TonePlayer tone;
    const int mutedBefore = logCount(muted);
    const int unmutedBefore = logCount(unmuted);
    OutputSilencer mute(std::make_unique<PulseAudioOutput>());
    mute.mute();
    EXPECT_FALSE(mute.mutedDevice());
    EXPECT_FALSE(Tests::sinkExists(helperSink));
    EXPECT_EQ(Tests::streamSinks(), QStringList{speakers});
    mute.restore();
    EXPECT_TRUE(Tests::sinkMuted(speakers)) << "the user's mute stays";
    EXPECT_EQ(Tests::defaultSink(), speakers);
    EXPECT_EQ(logCount(muted), mutedBefore);
    EXPECT_EQ(logCount(unmuted), unmutedBefore);
}

TEST_F(Pulse, RestoringUndoesOnlyWhatTheHelperDid)
{
    Tests::TonePlayer tone;
    OutputSilencer mute(std::make_unique<PulseAudioOutput>());
    mute.mute();
    ASSERT_TRUE(mute.mutedDevice());
    // The user chooses the headphones during the visit; the stream, which follows the default
    // (it was moved to the default of the moment), goes along.
    Tests::pactl({u"set-default-sink"_s, headphones});
    Tests::spin(200ms);
    EXPECT_EQ(mute.mutedDevice()->name, speakers) << "the recorded device is not re-read";
    mute.mute();
    EXPECT_EQ(mute.mutedDevice()->name, speakers);

    mute.restore();
    EXPECT_EQ(Tests::defaultSink(), headphones) << "the user's choice stands";
    EXPECT_EQ(Tests::streamSinks(), QStringList{headphones});
    EXPECT_FALSE(Tests::sinkExists(helperSink));

    // The user sends the playing stream to the headphones during the visit: it stays there.
    Tests::pactl({u"set-default-sink"_s, speakers});
    mute.mute();
    ASSERT_EQ(Tests::streamSinks(), QStringList{helperSink});
    const QString inputs = Tests::pactl({u"list"_s, u"short"_s, u"sink-inputs"_s}).value_or(QString());
    Tests::pactl({u"move-sink-input"_s, inputs.section(u'\t', 0, 0), headphones});
    mute.restore();
    EXPECT_EQ(Tests::defaultSink(), speakers);
    EXPECT_EQ(Tests::streamSinks(), QStringList{headphones});
}

TEST_F(Pulse, MutingTwiceThenRestoringOnce)
{
    Tests::TonePlayer tone;
    const int mutedBefore = logCount(muted);
    OutputSilencer mute(std::make_unique<PulseAudioOutput>());
    mute.mute();
    mute.mute();
    EXPECT_EQ(logCount(muted), mutedBefore + 1);
    const QString modules = Tests::pactl({u"list"_s, u"short"_s, u"modules"_s}).value_or(QString());
    EXPECT_EQ(modules.count(u"sink_name="_s + helperSink), 1);
    mute.restore();
    mute.restore();
    EXPECT_FALSE(Tests::sinkExists(helperSink));
    EXPECT_EQ(Tests::streamSinks(), QStringList{speakers});
    EXPECT_FALSE(Tests::sinkMuted(speakers));
}

TEST_F(Pulse, NoSoundServerIsNothingToMute)
{
    qputenv("PULSE_SERVER", "unix:/nonexistent/native");
    const int mutedBefore = logCount(muted);
    OutputSilencer mute(std::make_unique<PulseAudioOutput>());
    mute.mute();
    mute.removeLeftovers();
    qunsetenv("PULSE_SERVER");
    EXPECT_FALSE(mute.mutedDevice());
    EXPECT_EQ(logCount(muted), mutedBefore);
}

TEST_F(Pulse, TerminatingTheHelperWhileMutedGivesTheSoundBack)
{
    Tests::TonePlayer tone;
    Tests::Home home;
    Tests::Child holder;
    ASSERT_TRUE(holder.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-test-hold-mute"_s, {}, home.environment));
    ASSERT_TRUE(Tests::waitForLogLine(home.logPath(), muted)) << holder.errors().constData();
    EXPECT_EQ(Tests::streamSinks(), QStringList{helperSink});

    holder.signal(SIGTERM);
    ASSERT_TRUE(holder.wait(10s));
    EXPECT_EQ(holder.exitCode(), 0) << holder.errors().constData();
    EXPECT_TRUE(Tests::logMessages(home.logPath()).contains(unmuted));
    EXPECT_FALSE(Tests::sinkExists(helperSink));
    EXPECT_EQ(Tests::defaultSink(), speakers);
    EXPECT_EQ(Tests::streamSinks(), QStringList{speakers});
}

TEST_F(Pulse, AHelperSinkLeftByAKilledHelperIsRemovedAtTheNextStart)
{
    Tests::TonePlayer tone;
    Tests::Home home;
    {
        Tests::Child holder;
        ASSERT_TRUE(
            holder.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-test-hold-mute"_s, {}, home.environment));
        ASSERT_TRUE(Tests::waitForLogLine(home.logPath(), muted)) << holder.errors().constData();
        holder.kill();
        holder.wait(10s);
    }
    ASSERT_TRUE(Tests::sinkExists(helperSink)) << "a killed helper cannot give the sound back";
    EXPECT_TRUE(Tests::isSilent(room()));

    Tests::HelperProcess helper(home);
    EXPECT_NE(helper.waitUntilListening(), 0);
    EXPECT_FALSE(Tests::sinkExists(helperSink));
    EXPECT_EQ(Tests::defaultSink(), speakers);
    EXPECT_EQ(Tests::streamSinks(), QStringList{speakers});
    expectRecordedTone(room(), "after the next start");
    EXPECT_EQ(helper.terminate(), 0);
}

TEST_F(Pulse, TheSoundSourceRecordsTheDefaultSinkInTenMillisecondBuffers)
{
    Tests::TonePlayer tone;
    Collector collector;
    PulseSoundSource source;
    std::unique_ptr<SoundSource::Stream> stream = source.start(collector);
    ASSERT_TRUE(collector.waitForMore(1000ms));
    expectTone(collector.last(500ms), "recorded from the default sink");
    EXPECT_GE(collector.medianFrames(), 240);
    EXPECT_LE(collector.medianFrames(), 960);
    stream->stop();
    const qsizetype stopped = collector.bytes();
    Tests::spin(200ms);
    EXPECT_EQ(collector.bytes(), stopped) << "nothing arrives after stop()";
}

TEST_F(Pulse, TheSoundSourceFollowsTheHelperSinkWhileMutedWithoutStopping)
{
    Tests::TonePlayer tone;
    Collector collector;
    PulseSoundSource source;
    std::unique_ptr<SoundSource::Stream> stream = source.start(collector);
    ASSERT_TRUE(collector.waitForMore(500ms));

    OutputSilencer mute(std::make_unique<PulseAudioOutput>());
    mute.mute();
    ASSERT_TRUE(mute.mutedDevice());
    ASSERT_TRUE(collector.waitForMore(800ms));
    expectTone(collector.last(400ms), "recorded while muted");
    EXPECT_TRUE(Tests::isSilent(room()));

    mute.restore();
    ASSERT_TRUE(collector.waitForMore(800ms));
    expectTone(collector.last(400ms), "recorded after restoring");
}

TEST_F(Pulse, TheCaptureHandsTheSoundOnWithThePictures)
{
    Tests::TonePlayer tone;
    X11CaptureBackend backend(":1", std::make_shared<PulseSoundSource>());
    ScreenCapture capture(backend);
    std::mutex mutex;
    QByteArray sound;
    const auto soundBytes = [&] {
        std::lock_guard lock(mutex);
        return sound.size();
    };
    std::atomic<int> frames{0};
    capture.capturesAudio = true;
    capture.onFrame = [&](const std::shared_ptr<PixelBuffer>&, std::chrono::nanoseconds) { ++frames; };
    capture.onAudio = [&](const QByteArray& bytes) {
        std::lock_guard lock(mutex);
        sound.append(bytes);
    };
    const auto displays = QCoro::waitFor(capture.displays());
    ASSERT_TRUE(displays.ok());
    ASSERT_FALSE(QCoro::waitFor(capture.start(displays.value().front().id, 1280, 720)));
    ASSERT_TRUE(Tests::waitUntil([&] { return soundBytes() >= Tests::soundRate * 4; }));
    EXPECT_GT(frames, 0);
    {
        std::lock_guard lock(mutex);
        expectTone(sound.right(Tests::soundRate * 2), "handed on by the capture");
    }
    ASSERT_FALSE(QCoro::waitFor(capture.stop()));
    const qsizetype stopped = soundBytes();
    Tests::spin(200ms);
    EXPECT_EQ(soundBytes(), stopped) << "no sound after stop()";
}

// Last: it stops the sound server and starts a new one.
TEST_F(Pulse, ASoundServerThatGoesAwayIsLoggedAndTheSoundComesBack)
{
    Collector collector;
    PulseSoundSource source;
    std::unique_ptr<SoundSource::Stream> stream = source.start(collector);
    {
        Tests::TonePlayer tone;
        ASSERT_TRUE(collector.waitForMore(300ms));
    }
    const QString script = QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/pulse"_s;
    Tests::Child stop;
    stop.start(script, {u"stop"_s});
    ASSERT_TRUE(stop.wait(10s));
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"sound: lost the sound server ("_s));
    EXPECT_TRUE(Tests::logMessages(HelperLog::path()).last().endsWith(u"); the picture goes on"_s));
    Tests::spin(500ms);

    Tests::Child start;
    start.start(script, {u"start"_s});
    ASSERT_TRUE(start.wait(20s)) << start.errors().constData();
    ASSERT_EQ(start.exitCode(), 0) << start.errors().constData();
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"sound: the sound server is back"_s));
    Tests::TonePlayer tone;
    ASSERT_TRUE(collector.waitForMore(800ms));
    expectTone(collector.last(400ms), "after the server came back");
    EXPECT_EQ(Tests::logMessages(HelperLog::path()).count(u"sound: the sound server is back"_s), 1);
}
