// Muting the output and recording this computer's sound on the test machine's own PulseAudio
// server: two null sinks, ovu_test_speakers (the default) and ovu_test_headphones.
#include "base/HelperLog.h"
#include "core/OutputSilencer.h"
#include "media/SoundCapture.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/pulse/PulseSoundSource.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Sound.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString speakers = u"ovu_test_speakers"_s;
const QString headphones = u"ovu_test_headphones"_s;
const QString helperSink = QString::fromLatin1(PulseAudioOutput::helperSinkName);

// The outputs as the user sees them: "default: the output of each playing stream", and "+helper"
// while the helper's sink exists.
QString outputs()
{
    const QString seen = Tests::defaultSink() + u": "_s + Tests::streamSinks().join(u' ') +
                         (Tests::sinkExists(helperSink) ? u" +helper"_s : QString());
    return QString(seen).replace(helperSink, u"helper"_s).replace(u"ovu_test_"_s, QString());
}

// A full-scale 1 kHz tone, at the helper's full scale (0.8 of 16 bits) or pacat's (16 bits).
void expectTone(const QByteArray& sound, const char* where, double fullScale = Tests::helperFullScale)
{
    ASSERT_GT(sound.size(), 4800 * 4) << where;
    EXPECT_NEAR(Tests::dominantFrequency(sound), 1000, 10) << where;
    EXPECT_NEAR(Tests::levelDb(sound, fullScale), 0, 1) << where;
}

// What the speakers' monitor carries: a null sink renders ahead, up to 2 s, and a stream moved
// between null sinks can come back after a gap as long, so the last 300 ms of 2.5 s.
QByteArray room()
{
    return Tests::record(speakers + u".monitor"_s, 2500ms).right(4 * 14400);
}

// This computer's sound as the helper records it, collected on the main thread.
struct Recording {
    Recording()
    {
        capture.onAudio = [this](const QByteArray& pcm) {
            QMetaObject::invokeMethod(&receiver, [this, pcm] { sound += pcm; });
        };
        capture.start();
    }
    // Waits for this much more sound; the last half of it.
    QByteArray more(std::chrono::milliseconds duration)
    {
        const qsizetype wanted = duration.count() * Tests::soundRate / 1000 * 4;
        const qsizetype target = sound.size() + wanted;
        EXPECT_TRUE(Tests::waitUntil([&] { return sound.size() >= target; }, duration + 5s));
        return sound.right(wanted / 2);
    }

    QObject receiver;
    QByteArray sound;
    PulseSoundSource source;
    SoundCapture capture{source};
};

// Each case starts from the machine's own state: speakers the default, not muted, no helper sink.
class Pulse : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString modules = Tests::pactl({u"list"_s, u"short"_s, u"modules"_s}).value_or(QString());
        for (const QString& line : modules.split(u'\n').filter(u"sink_name="_s + helperSink)) {
            Tests::pactl({u"unload-module"_s, line.section(u'\t', 0, 0)});
        }
        Tests::pactl({u"set-default-sink"_s, speakers});
        Tests::pactl({u"set-sink-mute"_s, speakers, u"0"_s});
    }

    OutputSilencer silencer{std::make_unique<PulseAudioOutput>()};
};

} // namespace

TEST_F(Pulse, MutingSilencesTheRoomButNotTheRecordingAndRestoringGivesTheSoundBack)
{
    Tests::TonePlayer tone;
    Recording recording;
    expectTone(recording.more(1000ms), "recorded from the default sink");
    silencer.mute();
    EXPECT_EQ(silencer.mutedDevice().value_or(AudioOutput::Device()).name, speakers);
    EXPECT_EQ(outputs(), u"helper: helper +helper"_s);
    EXPECT_FALSE(Tests::sinkMuted(speakers)) << "muting the sink itself would silence its monitor";
    EXPECT_TRUE(Tests::isSilent(room()));
    expectTone(recording.more(800ms), "recorded while muted");
    Tests::TonePlayer later;
    EXPECT_EQ(outputs(), u"helper: helper helper +helper"_s) << "a stream started while muted";

    silencer.restore();
    EXPECT_EQ(outputs(), u"speakers: speakers speakers"_s);
    later.stop();
    expectTone(room(), "in the room after restoring", 32767);
    expectTone(recording.more(800ms), "recorded after restoring");
    recording.capture.stop();
    Tests::drain();
    const qsizetype stopped = recording.sound.size();
    Tests::spin(200ms);
    EXPECT_EQ(recording.sound.size(), stopped) << "nothing arrives after stop()";
}

TEST_F(Pulse, AnOutputTheUserMutedIsLeftAloneAndGivingTheSoundBackUndoesOnlyWhatTheHelperDid)
{
    Tests::TonePlayer tone;
    Tests::pactl({u"set-sink-mute"_s, speakers, u"1"_s});
    silencer.mute();
    EXPECT_FALSE(silencer.mutedDevice());
    EXPECT_EQ(outputs(), u"speakers: speakers"_s);
    silencer.restore();
    EXPECT_TRUE(Tests::sinkMuted(speakers)) << "the user's mute stays";
    Tests::pactl({u"set-sink-mute"_s, speakers, u"0"_s});
    // Without a sound server nothing happens either.
    qputenv("PULSE_SERVER", "unix:/nonexistent/native");
    OutputSilencer nowhere(std::make_unique<PulseAudioOutput>());
    nowhere.mute();
    nowhere.removeLeftovers();
    qunsetenv("PULSE_SERVER");
    EXPECT_FALSE(nowhere.mutedDevice());

    // The user chooses the headphones during the visit; the stream, which follows the default (it
    // was moved to the default of the moment), goes along. The user's choice stands.
    silencer.mute();
    Tests::pactl({u"set-default-sink"_s, headphones});
    silencer.restore();
    EXPECT_EQ(outputs(), u"headphones: headphones"_s);
    // The user sends the playing stream to the speakers during the next visit: it stays there.
    silencer.mute();
    const QString inputs = Tests::pactl({u"list"_s, u"short"_s, u"sink-inputs"_s}).value_or(QString());
    Tests::pactl({u"move-sink-input"_s, inputs.section(u'\t', 0, 0), speakers});
    silencer.restore();
    EXPECT_EQ(outputs(), u"headphones: speakers"_s);
    // A helper killed while it silenced the headphones gives nothing back; the next start does.
    Tests::pactl({u"move-sink-input"_s, inputs.section(u'\t', 0, 0), headphones});
    PulseAudioOutput killed;
    killed.silence(*killed.defaultOutput());
    ASSERT_EQ(outputs(), u"helper: helper +helper"_s);
    silencer.removeLeftovers();
    EXPECT_EQ(outputs(), u"headphones: headphones"_s);
}

// Last: it stops the sound server and starts a new one.
TEST_F(Pulse, ASoundServerThatGoesAwayIsLoggedAndTheSoundComesBack)
{
    Recording recording;
    recording.more(300ms);
    const QString script = QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/pulse"_s;
    Tests::Child stop;
    stop.start(script, {u"stop"_s});
    ASSERT_TRUE(stop.wait(10s));
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"sound: lost the sound server ("_s));
    EXPECT_TRUE(Tests::logMessages(HelperLog::path()).last().endsWith(u"); the picture goes on"_s));
    Tests::Child start;
    start.start(script, {u"start"_s});
    ASSERT_TRUE(start.wait(20s) && start.exitCode() == 0) << start.errors().constData();
    EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), u"sound: the sound server is back"_s));
    Tests::TonePlayer tone;
    expectTone(recording.more(800ms), "after the server came back");
    EXPECT_EQ(Tests::logMessages(HelperLog::path()).count(u"sound: the sound server is back"_s), 1);
}
