// The sound path on loopback: a tone starts in the default sink → PulseAudio monitor → the
// capture's conversion → the "ovu-audio" data channel → the phone, which notes when the first
// packet that is not silent arrives. 50 onsets, each 150 ms of a 1 kHz tone after 250 ms of
// silence, played by this process through a low-latency stream whose own latency report says
// when each onset is played (both ends on this machine's monotonic clock). Beside it, parec
// recording the same monitor (10 ms fragments) shows what the sound server alone takes.
//
// The CPU of the sound path: the sender's CPU while sharing with sound, less its CPU while
// sharing the same (still) screen without sound, per second of sound.
//
// Roles: with no arguments, the orchestrator; "--role sender|phone" are its children.
#include "bench/BenchSupport.h"
#include "media/ScreenCapture.h"
#include "media/SoundCapture.h"
#include "media/SoundPackets.h"
#include "media/VideoSender.h"
#include "phone/PhoneViewer.h"
#include "platform/pulse/PulseSoundSource.h"
#include "platform/x11/X11CaptureBackend.h"
#include "tests/support/Child.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QtEndian>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numbers>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Bench::nowNs;
using Bench::print;

constexpr int onsets = 50;
constexpr int rate = 48000;
constexpr int chunkFrames = 240; // 5 ms
constexpr int silentChunks = 50; // 250 ms
constexpr int toneChunks = 30;   // 150 ms
constexpr int loud = 2000;
constexpr int quiet = 200;

int peakOf(const char* samples, qsizetype bytes)
{
    int peak = 0;
    for (qsizetype i = 0; i + 2 <= bytes; i += 2) {
        peak = std::max(peak, std::abs(int(qFromLittleEndian<std::int16_t>(samples + i))));
    }
    return peak;
}

// Notes onsets in a stream of 16-bit samples: a loud block after a quiet one.
struct OnsetDetector {
    bool quietBefore = true;
    bool onset(int peak)
    {
        if (peak >= loud && quietBefore) {
            quietBefore = false;
            return true;
        }
        if (peak < quiet) {
            quietBefore = true;
        }
        return false;
    }
};

int senderRole(bool withSound)
{
    X11CaptureBackend backend(":1");
    PulseSoundSource source;
    ScreenCapture capture(backend);
    SoundCapture sound(source);
    VideoSender sender(60, 6'000'000);
    capture.onFrame = [&sender](const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time) {
        sender.sendFrame(buffer, time);
    };
    sound.onAudio = [&sender](const QByteArray& pcm) { sender.sendAudio(pcm); };
    const auto input = Bench::signalling(sender);
    sender.start();
    const HelperDisplay display = ScreenCapture::listDisplays(backend).value().front();
    QCoro::waitFor(capture.start(display.id, 1280, 720));
    if (withSound) {
        sound.start();
    }
    QCoreApplication::exec();
    sound.stop();
    QCoro::waitFor(capture.stop());
    sender.stop();
    return 0;
}

int phoneRole()
{
    PhoneViewer viewer;
    OnsetDetector detector;
    viewer.sendSignal = [](const QJsonObject& message) {
        print(QJsonDocument(message).toJson(QJsonDocument::Compact));
    };
    viewer.onAudioPacket = [&detector](const QByteArray& packet) {
        const auto read = SoundPackets::read(packet);
        if (read && detector.onset(peakOf(read->pcm.data(), read->pcm.size()))) {
            print("onset " + QByteArray::number(nowNs()));
        }
    };
    Bench::StdinLines input([&viewer](const QJsonObject& message) { viewer.receive(message); });
    QCoreApplication::exec();
    return 0;
}

// Plays the onsets into the default sink and notes when each one is played.
class TonePlayer {
public:
    TonePlayer()
    {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, rate, 2};
        pa_buffer_attr attributes{};
        attributes.maxlength = std::uint32_t(-1);
        attributes.tlength = chunkFrames * 4 * 2;
        attributes.prebuf = std::uint32_t(-1);
        attributes.minreq = std::uint32_t(-1);
        attributes.fragsize = std::uint32_t(-1);
        int error = 0;
        m_stream = pa_simple_new(nullptr, "bench sound", PA_STREAM_PLAYBACK, nullptr, "onsets", &spec,
                                 nullptr, &attributes, &error);
        if (!m_stream) {
            std::fprintf(stderr, "cannot play: %s\n", pa_strerror(error));
        }
    }
    ~TonePlayer()
    {
        if (m_stream) {
            pa_simple_free(m_stream);
        }
    }

    // When each onset was written to the sound server and when the server says it plays.
    struct Onsets {
        std::vector<std::int64_t> written;
        std::vector<std::int64_t> played;
    };

    // Silence for a while (to settle), then the onsets; returns when all are played.
    Onsets play(int count)
    {
        Onsets onsetTimes;
        if (!m_stream) {
            return onsetTimes;
        }
        QByteArray silence(chunkFrames * 4, '\0');
        QByteArray tone(chunkFrames * 4, '\0');
        for (int i = 0; i < 100; ++i) {
            write(silence);
        }
        std::int64_t phase = 0;
        for (int onset = 0; onset < count; ++onset) {
            for (int i = 0; i < silentChunks; ++i) {
                write(silence);
            }
            int error = 0;
            const pa_usec_t latency = pa_simple_get_latency(m_stream, &error);
            const std::int64_t now = nowNs();
            onsetTimes.written.push_back(now);
            onsetTimes.played.push_back(now + std::int64_t(latency) * 1000);
            for (int i = 0; i < toneChunks; ++i) {
                for (int frame = 0; frame < chunkFrames; ++frame, ++phase) {
                    const auto value = static_cast<std::int16_t>(
                        std::lround(32767 * std::sin(2 * std::numbers::pi * 1000 * double(phase) / rate)));
                    qToLittleEndian(value, tone.data() + frame * 4);
                    qToLittleEndian(value, tone.data() + frame * 4 + 2);
                }
                write(tone);
            }
        }
        for (int i = 0; i < silentChunks; ++i) {
            write(silence);
        }
        int error = 0;
        pa_simple_drain(m_stream, &error);
        return onsetTimes;
    }

private:
    void write(const QByteArray& chunk)
    {
        int error = 0;
        pa_simple_write(m_stream, chunk.constData(), static_cast<size_t>(chunk.size()), &error);
    }
    pa_simple* m_stream = nullptr;
};

struct Figures {
    double p50 = 0;
    double p95 = 0;
    int matched = 0;
    double writtenP50 = 0;
    double writtenP95 = 0;
    double cpuSeconds = 0;
    double seconds = 0;
};

// Each onset's latency: to the first detected onset after it, before the next one. Returns
// the number matched and the median and 95th percentile in milliseconds.
struct Matched {
    int count = 0;
    double p50 = 0;
    double p95 = 0;
};
Matched match(const std::vector<std::int64_t>& played, const std::vector<std::int64_t>& arrived)
{
    std::vector<double> latencies;
    for (size_t i = 0; i < played.size(); ++i) {
        const std::int64_t until = i + 1 < played.size() ? played[i + 1] : played[i] + 1'000'000'000;
        // Arrivals may precede the nominal play time by the sink's render-ahead: allow 50 ms.
        const auto found = std::find_if(arrived.begin(), arrived.end(), [&](std::int64_t t) {
            return t > played[i] - 50'000'000 && t < until;
        });
        if (found != arrived.end()) {
            latencies.push_back(double(*found - played[i]) / 1e6);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    Matched result;
    result.count = static_cast<int>(latencies.size());
    if (!latencies.empty()) {
        result.p50 = latencies[latencies.size() / 2];
        result.p95 = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    }
    return result;
}

void match(const TonePlayer::Onsets& onsetTimes, const std::vector<std::int64_t>& arrived, Figures& figures)
{
    const Matched played = match(onsetTimes.played, arrived);
    const Matched written = match(onsetTimes.written, arrived);
    figures.matched = played.count;
    figures.p50 = played.p50;
    figures.p95 = played.p95;
    figures.writtenP50 = written.p50;
    figures.writtenP95 = written.p95;
}

// Runs the sender and the phone, relaying their signalling, while `during` runs on a thread of
// its own; returns the phone's onset times and the sender's CPU meanwhile.
std::vector<std::int64_t> share(bool withSound, const std::function<void()>& during, Figures& figures)
{
    const QString self = QCoreApplication::applicationFilePath();
    Tests::Child sender;
    Tests::Child phone;
    QStringList senderArguments{u"--role"_s, u"sender"_s};
    if (!withSound) {
        senderArguments.append(u"--no-sound"_s);
    }
    sender.start(self, senderArguments, QProcessEnvironment::systemEnvironment(), true, true);
    phone.start(self, {u"--role"_s, u"phone"_s}, QProcessEnvironment::systemEnvironment(), true, true);
    Bench::ChildLines fromSender(sender);
    Bench::ChildLines fromPhone(phone);
    std::vector<std::int64_t> arrived;
    std::atomic<bool> finished{false};
    auto relay = [&] {
        while (auto line = fromSender.next()) {
            phone.write(*line + '\n');
        }
        while (auto line = fromPhone.next()) {
            if (line->startsWith("onset ")) {
                arrived.push_back(line->mid(6).toLongLong());
            } else {
                sender.write(*line + '\n');
            }
        }
    };
    auto pumpFor = [&](std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            relay();
            std::this_thread::sleep_for(1ms);
        }
    };
    pumpFor(4s); // connect and settle
    const double before = Bench::processCpu(sender.pid());
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        during();
        finished = true;
    });
    while (!finished) {
        relay();
        std::this_thread::sleep_for(1ms);
    }
    worker.join();
    pumpFor(300ms);
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpuSeconds = Bench::processCpu(sender.pid()) - before;
    sender.closeInput();
    phone.closeInput();
    sender.wait(10s);
    phone.wait(10s);
    return arrived;
}

// parec on the default sink's monitor, 10 ms fragments: onsets as its output shows them.
Figures reference()
{
    Figures figures;
    Tests::Child parec;
    parec.start(u"parec"_s, {u"--latency-msec=10"_s, u"--raw"_s, u"--format=s16le"_s, u"--rate=48000"_s,
                             u"--channels=2"_s, u"--device=@DEFAULT_MONITOR@"_s});
    std::vector<std::int64_t> arrived;
    std::atomic<bool> finished{false};
    TonePlayer::Onsets played;
    OnsetDetector detector;
    qsizetype scanned = 0;
    auto poll = [&] {
        const QByteArray output = parec.output();
        const std::int64_t now = nowNs();
        // 5 ms blocks, as they come.
        while (output.size() - scanned >= chunkFrames * 4) {
            if (detector.onset(peakOf(output.constData() + scanned, chunkFrames * 4))) {
                arrived.push_back(now);
            }
            scanned += chunkFrames * 4;
        }
    };
    const auto settle = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < settle) {
        poll();
        std::this_thread::sleep_for(1ms);
    }
    const double before = Bench::processCpu(parec.pid());
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        played = TonePlayer().play(onsets);
        finished = true;
    });
    while (!finished) {
        poll();
        std::this_thread::sleep_for(1ms);
    }
    worker.join();
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpuSeconds = Bench::processCpu(parec.pid()) - before;
    parec.kill();
    parec.wait(5s);
    match(played, arrived, figures);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.contains(u"--role"_s)) {
        const QString role = arguments.value(arguments.indexOf(u"--role"_s) + 1);
        return role == u"sender"_s ? senderRole(!arguments.contains(u"--no-sound"_s)) : phoneRole();
    }

    std::printf(
        "Tone onset in the default sink → first non-silent packet at the phone, loopback, %d onsets\n",
        onsets);
    Figures ours;
    TonePlayer::Onsets played;
    const std::vector<std::int64_t> arrived = share(
        true, [&] { played = TonePlayer().play(onsets); }, ours);
    match(played, arrived, ours);
    // The same sharing and the same sound playing, without capturing it.
    Figures silent;
    share(
        false, [] { TonePlayer().play(onsets); }, silent);
    const Figures ref = reference();

    const double soundCpu =
        std::max(0.0, ours.cpuSeconds / ours.seconds - silent.cpuSeconds / silent.seconds);
    std::printf("%-32s %7s %11s %11s %9s %9s %7s\n", "", "onsets", "p50 written", "p95 written", "p50 ms",
                "p95 ms", "cpu %");
    auto row = [](const char* name, const Figures& figures) {
        std::printf("%-32s %7d %11.1f %11.1f %9.1f %9.1f %7.2f\n", name, figures.matched, figures.writtenP50,
                    figures.writtenP95, figures.p50, figures.p95, 100 * figures.cpuSeconds / figures.seconds);
    };
    row("helper → phone (with sound)", ours);
    std::printf("%-32s %7s %11s %11s %9s %9s %7.2f\n", "helper, same sharing, no sound", "-", "-", "-", "-",
                "-", 100 * silent.cpuSeconds / silent.seconds);
    row("reference: parec of the monitor", ref);
    std::printf(
        "written: from the moment the player handed the onset to the sound server (10 ms buffer);\n"
        "p50/p95 ms: from the moment the server says it plays (its latency report).\n"
        "cpu %%: CPU seconds per second; the sound path's share is the difference of the first two rows.\n");
    std::printf("latency ratio to the reference (p50 written): %.2f\n",
                ref.writtenP50 > 0 ? ours.writtenP50 / ref.writtenP50 : 0.0);
    Bench::row("sound: tone onset to the phone p50 (vs parec of the monitor)", ours.writtenP50,
               ref.writtenP50, "ms");
    Bench::row("sound: tone onset to the phone p95 (vs parec of the monitor)", ours.writtenP95,
               ref.writtenP95, "ms");
    Bench::row("sound: CPU of the sound path (vs parec of the monitor)", 100 * soundCpu,
               100 * ref.cpuSeconds / ref.seconds, "% of a core");
    std::printf("bench sound: latency_p50_ms=%.1f latency_p95_ms=%.1f cpu_pct=%.2f\n", ours.writtenP50,
                ours.writtenP95, 100 * soundCpu);
    return ours.matched >= onsets * 9 / 10 ? 0 : 1;
}
