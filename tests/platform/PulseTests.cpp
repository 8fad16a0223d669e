// Muting the output and recording this computer's sound on the test machine's own PulseAudio
// server: two null sinks, ovu_test_speakers (the default) and ovu_test_headphones.
#include "base/HelperLog.h"
#include "core/OutputSilencer.h"
#include "media/SoundCapture.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/pulse/PulseSoundSource.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogReader.h"
#include "tests/support/Sound.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::pactl;

namespace {

const QString speakers = u"ovu_test_speakers"_s;
const QString headphones = u"ovu_test_headphones"_s;
const QString helperSink = QString::fromLatin1(PulseAudioOutput::helperSinkName);

// The outputs as the user sees them: "default: the output of each playing stream", "+helper"
// while the helper's sink exists and "+muted" while the speakers are muted.
QString outputs()
{
    QString seen = pactl({u"get-default-sink"_s}).trimmed() + u": "_s + Tests::streamSinks().join(u' ');
    seen += pactl({u"list"_s, u"short"_s, u"sinks"_s}).contains(helperSink) ? u" +helper"_s : QString();
    seen += pactl({u"get-sink-mute"_s, speakers}).contains(u"yes"_s) ? u" +muted"_s : QString();
    return seen.replace(helperSink, u"helper"_s).replace(u"ovu_test_"_s, QString());
}

constexpr int soundRate = 48000;

// The 1 kHz tone's level in the left channel of the helper's 16-bit stereo, in dB of the level it
// is played at: its amplitude (the 1 kHz term of a Fourier transform) in the 50 ms where it is
// strongest, far below 0 for silence, other sounds and the tone at another pitch.
double toneDb(const QByteArray& stereo16)
{
    const qsizetype window = soundRate / 20; // 50 whole periods
    double strongest = 0;
    for (qsizetype start = 0; start + window * 4 <= stereo16.size(); start += window * 4) {
        std::complex<double> sum;
        for (qsizetype i = 0; i < window; ++i) {
            const double sample = qFromLittleEndian<std::int16_t>(stereo16.constData() + start + 4 * i);
            sum += sample * std::polar(1.0, 2 * std::numbers::pi * 1000 * double(i) / soundRate);
        }
        strongest = std::max(strongest, 2 * std::abs(sum) / double(window));
    }
    // Half of the helper's full scale (0.8 of 16 bits).
    return 20 * std::log10(strongest / (0.8 * 32768 / 2));
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
    // The tone's level in the last half of this much more sound.
    double more(std::chrono::milliseconds duration)
    {
        const qsizetype wanted = duration.count() * soundRate / 1000 * 4;
        const qsizetype target = sound.size() + wanted;
        EXPECT_TRUE(Tests::waitUntil([&] { return sound.size() >= target; }, duration + 5s));
        return toneDb(sound.right(wanted / 2));
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
        silencer.removeLeftovers();
        pactl({u"set-default-sink"_s, speakers});
        pactl({u"set-sink-mute"_s, speakers, u"0"_s});
    }

    OutputSilencer silencer{std::make_unique<PulseAudioOutput>()};
};

} // namespace

TEST_F(Pulse, MutingSilencesTheRoomButNotTheRecordingAndRestoringGivesTheSoundBack)
{
    Tests::TonePlayer tone;
    Recording recording;
    EXPECT_NEAR(recording.more(1000ms), 0, 1) << "recorded from the default sink";
    silencer.mute();
    EXPECT_EQ(silencer.mutedDevice().value_or(AudioOutput::Device()).name, speakers);
    // Nothing plays on the speakers, which are not muted themselves (that would silence their
    // monitor too).
    EXPECT_EQ(outputs(), u"helper: helper +helper"_s);
    EXPECT_NEAR(recording.more(800ms), 0, 1) << "recorded while muted";
    {
        Tests::TonePlayer later;
        EXPECT_EQ(outputs(), u"helper: helper helper +helper"_s) << "a stream started while muted";
        silencer.restore();
        EXPECT_EQ(outputs(), u"speakers: speakers speakers"_s);
    }
    EXPECT_NEAR(recording.more(800ms), 0, 1) << "recorded after restoring";
    recording.capture.stop();
    Tests::drain();
    const qsizetype stopped = recording.sound.size();
    Tests::spin(200ms);
    EXPECT_EQ(recording.sound.size(), stopped) << "nothing arrives after stop()";
}

TEST_F(Pulse, AnOutputTheUserMutedIsLeftAloneAndGivingTheSoundBackUndoesOnlyWhatTheHelperDid)
{
    Tests::TonePlayer tone;
    pactl({u"set-sink-mute"_s, speakers, u"1"_s});
    silencer.mute();
    EXPECT_FALSE(silencer.mutedDevice());
    silencer.restore();
    EXPECT_EQ(outputs(), u"speakers: speakers +muted"_s) << "the user's mute stays";
    pactl({u"set-sink-mute"_s, speakers, u"0"_s});
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
    pactl({u"set-default-sink"_s, headphones});
    silencer.restore();
    EXPECT_EQ(outputs(), u"headphones: headphones"_s);
    // The user sends the playing stream to the speakers during the next visit: it stays there.
    silencer.mute();
    const QString stream = pactl({u"list"_s, u"short"_s, u"sink-inputs"_s}).section(u'\t', 0, 0);
    pactl({u"move-sink-input"_s, stream, speakers});
    silencer.restore();
    EXPECT_EQ(outputs(), u"headphones: speakers"_s);
    // A helper killed while it silenced the headphones gives nothing back; the next start does.
    pactl({u"move-sink-input"_s, stream, headphones});
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
    const std::pair<QString, QString> steps[] = {{u"stop"_s, u"sound: lost the sound server ("_s},
                                                 {u"start"_s, u"sound: the sound server is back"_s}};
    for (const auto& [command, logged] : steps) {
        Tests::Child script;
        script.start(QStringLiteral(OVU_SOURCE_DIR) + u"/tests/env/pulse"_s, {command});
        ASSERT_TRUE(script.wait(20s) && script.exitCode() == 0) << script.errors().constData();
        EXPECT_TRUE(Tests::waitForLogLine(HelperLog::path(), logged));
    }
    Tests::TonePlayer tone;
    EXPECT_NEAR(recording.more(800ms), 0, 1) << "after the server came back";
    EXPECT_EQ(Tests::logMessages(HelperLog::path()).count(u"sound: the sound server is back"_s), 1);
}
