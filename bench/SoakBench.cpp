// A long visit: the real helper shares the 1920×1080 display :1 at 60 fps with `ovu-phone view`
// for OVU_SOAK_SECONDS (or --seconds N; 600 by default) while the screen changes every frame, the
// phone's pointer moves arrive 100 a second and a tone plays into the default sink. Measured: the
// helper's resident memory (VmRSS, every 5 s) and its open file descriptors after a 30 s warm-up
// and at the end, and the longest stall of the picture at the phone.
//
// The phone's pictures: ovu-phone logs its picture sink ("pictures", an appsink) through
// GStreamer's debug log (GST_DEBUG=appsink:5 into a file), one line for each picture it takes,
// with GStreamer's monotonic time stamp. The log's clock is put on this process's clock by the
// smallest difference between reading a line and its stamp, so the gap between the last picture
// and the end of the visit counts as a stall too.
#include "bench/BenchSupport.h"
#include "tests/support/Child.h"
#include "tests/support/Processes.h"
#include "tests/support/X11Painter.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Bench::nowNs;

constexpr QSize screen{1920, 1080};
constexpr std::chrono::seconds sampleEvery{5};
constexpr int movesPerSecond = 100; // ovu-phone sends its --input lines 10 ms apart

double seconds(std::int64_t ns)
{
    return double(ns) / 1e9;
}

// Changes the whole screen every frame (60 Hz): bands of shifting colours and a square
// crossing them, from a thread of its own.
class Animator {
public:
    Animator()
        : m_thread([this] {
            X11Painter painter(":1");
            constexpr int bands = 8;
            const int bandWidth = screen.width() / bands;
            auto next = std::chrono::steady_clock::now();
            for (int frame = 0; !m_stop; ++frame) {
                for (int band = 0; band < bands; ++band) {
                    const std::uint32_t shade = std::uint32_t((frame * 3 + band * 29) % 200);
                    painter.fill(QRect(band * bandWidth, 0, bandWidth, screen.height()),
                                 0x102030u + shade * 0x000101u + std::uint32_t(band) * 0x100000u);
                }
                const int x = (frame * 12) % (screen.width() - 200);
                const int y = 400 + int(300 * std::sin(frame / 40.0));
                painter.fill(QRect(x, y, 200, 200), 0xF0F0F0);
                ++m_frames;
                next += std::chrono::microseconds(16'667);
                std::this_thread::sleep_until(next);
            }
        })
    {}
    ~Animator()
    {
        m_stop = true;
        m_thread.join();
    }
    long frames() const { return m_frames; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_frames{0};
    std::thread m_thread;
};

// A 1 kHz tone at a third of full scale into the default sink until destroyed.
class Tone {
public:
    Tone()
        : m_thread([this] {
            constexpr int rate = 48000;
            constexpr int frames = 480; // 10 ms
            const pa_sample_spec spec{PA_SAMPLE_S16LE, rate, 2};
            int error = 0;
            pa_simple* stream = pa_simple_new(nullptr, "bench soak", PA_STREAM_PLAYBACK, nullptr, "tone",
                                              &spec, nullptr, nullptr, &error);
            if (!stream) {
                std::fprintf(stderr, "bench soak: cannot play: %s\n", pa_strerror(error));
                return;
            }
            QByteArray chunk(frames * 4, '\0');
            for (std::int64_t phase = 0; !m_stop;) {
                for (int frame = 0; frame < frames; ++frame, ++phase) {
                    const auto value = static_cast<std::int16_t>(
                        std::lround(11000 * std::sin(2 * std::numbers::pi * 1000 * double(phase) / rate)));
                    qToLittleEndian(value, chunk.data() + frame * 4);
                    qToLittleEndian(value, chunk.data() + frame * 4 + 2);
                }
                if (pa_simple_write(stream, chunk.constData(), size_t(chunk.size()), &error) < 0) {
                    std::fprintf(stderr, "bench soak: the tone stopped: %s\n", pa_strerror(error));
                    break;
                }
                m_playing = true;
            }
            pa_simple_free(stream);
        })
    {}
    ~Tone()
    {
        m_stop = true;
        m_thread.join();
    }
    bool playing() const { return m_playing; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_playing{false};
    std::thread m_thread;
};

// Pointer moves for ovu-phone --input: a slow figure of eight over the display, as fractions.
bool writeMoves(const QString& path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        const double angle = 2 * std::numbers::pi * i / 600.0;
        const double x = 0.5 + 0.45 * std::sin(angle);
        const double y = 0.5 + 0.45 * std::sin(2 * angle);
        text += R"({"t":"m","x":)" + QByteArray::number(x, 'f', 4) + R"(,"y":)" +
                QByteArray::number(y, 'f', 4) + "}\n";
    }
    return file.write(text) == text.size();
}

// The phone's pictures as its GStreamer log shows them, read as it grows.
class PictureLog {
public:
    explicit PictureLog(QString path) : m_path(std::move(path)) {}

    // Reads what is new; every picture's time goes on this process's clock.
    void poll()
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_read)) {
            return;
        }
        m_pending += file.readAll();
        m_read = file.pos();
        const std::int64_t now = nowNs();
        qsizetype end = 0;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (!line.contains("<pictures> we have a buffer")) {
                continue;
            }
            const std::optional<std::int64_t> stamp = stampOf(line);
            if (stamp) {
                m_stamps.push_back(*stamp);
                m_offset = std::min(m_offset, now - *stamp);
            }
        }
    }

    std::size_t count() const { return m_stamps.size(); }
    // The pictures' times on this process's clock.
    std::vector<std::int64_t> times() const
    {
        std::vector<std::int64_t> result;
        result.reserve(m_stamps.size());
        for (std::int64_t stamp : m_stamps) {
            result.push_back(stamp + m_offset);
        }
        return result;
    }

private:
    // "H:MM:SS.NNNNNNNNN" at the start of the line, in nanoseconds.
    static std::optional<std::int64_t> stampOf(const QByteArray& line)
    {
        const QList<QByteArray> parts = line.left(line.indexOf(' ')).split(':');
        if (parts.size() != 3) {
            return std::nullopt;
        }
        const QList<QByteArray> secondParts = parts[2].split('.');
        const std::int64_t whole =
            parts[0].toLongLong() * 3600 + parts[1].toLongLong() * 60 + secondParts.value(0).toLongLong();
        return whole * 1'000'000'000 + secondParts.value(1).leftJustified(9, '0').left(9).toLongLong();
    }

    QString m_path;
    qint64 m_read = 0;
    QByteArray m_pending;
    std::vector<std::int64_t> m_stamps;
    std::int64_t m_offset = std::numeric_limits<std::int64_t>::max();
};

struct Sample {
    std::int64_t at = 0; // since the phone started
    long rssKb = 0;
    int files = 0;
};

int durationSetting(const QStringList& arguments)
{
    const qsizetype index = arguments.indexOf(u"--seconds"_s);
    if (index >= 0) {
        return arguments.value(index + 1).toInt();
    }
    const QByteArray setting = qgetenv("OVU_SOAK_SECONDS");
    return setting.isEmpty() ? 600 : setting.toInt();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int duration = durationSetting(QCoreApplication::arguments());
    if (duration < 10) {
        std::fprintf(stderr, "bench soak: at least 10 seconds (--seconds N or OVU_SOAK_SECONDS)\n");
        return 2;
    }
    const int warmUp = std::min(30, duration / 2);

    Tests::Home helperHome;
    helperHome.environment.insert(u"DISPLAY"_s, u":1"_s);
    Tests::HelperProcess helper(helperHome, {u"-autoallow"_s});
    const quint16 port = helper.waitUntilListening();
    if (port == 0) {
        std::fprintf(stderr, "bench soak: the helper did not listen\n");
        return 1;
    }
    const pid_t helperPid = helper.pid();

    QTemporaryDir folder;
    const QString moves = folder.filePath(u"moves.jsonl"_s);
    const QString gstLog = folder.filePath(u"phone-gst.log"_s);
    if (!writeMoves(moves, (duration + 10) * movesPerSecond)) {
        std::fprintf(stderr, "bench soak: cannot write the moves\n");
        return 1;
    }

    Animator animator;
    Tone tone;
    std::this_thread::sleep_for(1s);
    const int filesBefore = Tests::openDescriptors(helperPid);
    const long rssBeforeKb = Bench::residentKb(helperPid);

    // The phone views a little longer than the measured visit, so the visit ends while it still
    // decodes.
    Tests::Home phoneHome;
    phoneHome.environment.insert(u"GST_DEBUG"_s, u"appsink:5"_s);
    phoneHome.environment.insert(u"GST_DEBUG_NO_COLOR"_s, u"1"_s);
    phoneHome.environment.insert(u"GST_DEBUG_FILE"_s, gstLog);
    Tests::Child phone;
    const std::int64_t start = nowNs();
    if (!phone.start(QStringLiteral(OVU_BIN_DIR) + u"/ovu-phone"_s,
                     {u"view"_s, u"127.0.0.1:"_s + QString::number(port), u"--seconds"_s,
                      QString::number(duration + 5), u"--input"_s, moves},
                     phoneHome.environment)) {
        std::fprintf(stderr, "bench soak: ovu-phone did not start\n");
        return 1;
    }
    PictureLog pictures(gstLog);
    // Every 5 s from the phone's start; the one at the end of the warm-up is where growth counts from.
    std::vector<Sample> samples;
    std::optional<Sample> atWarmUp;
    const std::int64_t end = start + std::int64_t(duration) * 1'000'000'000;
    std::int64_t nextSample = start;
    double cpuAtWarmUp = 0;
    while (nowNs() < end && phone.isRunning()) {
        pictures.poll();
        const std::int64_t now = nowNs();
        if (now >= nextSample) {
            samples.push_back({now - start, Bench::residentKb(helperPid), Tests::openDescriptors(helperPid)});
            nextSample += std::chrono::nanoseconds(sampleEvery).count();
            if (!atWarmUp && now - start >= std::int64_t(warmUp) * 1'000'000'000) {
                atWarmUp = samples.back();
                cpuAtWarmUp = Bench::processCpu(helperPid);
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    const std::int64_t ended = nowNs();
    pictures.poll();
    const Sample last{ended - start, Bench::residentKb(helperPid), Tests::openDescriptors(helperPid)};
    if (!atWarmUp) {
        atWarmUp = samples.empty() ? last : samples.back();
    }
    const double cpuAtEnd = Bench::processCpu(helperPid);
    const bool phoneLasted = phone.isRunning();
    const long drawn = animator.frames();

    phone.wait(30s);
    if (phone.isRunning()) {
        phone.kill();
    }
    std::this_thread::sleep_for(2s);
    const int filesAfter = Tests::openDescriptors(helperPid);
    const long rssAfterKb = Bench::residentKb(helperPid);
    const bool helperLasted = helper.isRunning();
    const int helperStatus = helper.terminate();

    // The stall: the longest time without a new picture, from the first one to the end.
    const std::vector<std::int64_t> times = pictures.times();
    std::int64_t longest = 0;
    std::int64_t longestAt = 0;
    int over250 = 0;
    int over1000 = 0;
    std::int64_t firstPicture = 0;
    std::size_t counted = 0;
    if (!times.empty()) {
        firstPicture = times.front() - start;
        std::int64_t previous = times.front();
        auto gap = [&](std::int64_t at) {
            const std::int64_t length = at - previous;
            over250 += length > 250'000'000;
            over1000 += length > 1'000'000'000;
            if (length > longest) {
                longest = length;
                longestAt = previous - start;
            }
            previous = at;
        };
        for (std::int64_t at : times) {
            if (at > ended) {
                break;
            }
            ++counted;
            gap(at);
        }
        gap(ended);
    }

    long peakKb = last.rssKb;
    for (const Sample& sample : samples) {
        if (sample.at >= atWarmUp->at) {
            peakKb = std::max(peakKb, sample.rssKb);
        }
    }
    const double rssStart = atWarmUp->rssKb / 1024.0;
    const double rssEnd = last.rssKb / 1024.0;
    const double measured = seconds(last.at - atWarmUp->at);
    const double viewed = seconds(ended - start) - seconds(firstPicture);
    const double fps = viewed > 0 ? double(counted) / viewed : 0;
    const double cpuPercent = measured > 0 ? 100 * (cpuAtEnd - cpuAtWarmUp) / measured : 0;

    QByteArray phoneSummary;
    for (const QByteArray& line : phone.output().split('\n')) {
        if (line.startsWith("frames ")) {
            phoneSummary = line;
        }
    }

    std::printf("Sharing 1920x1080 at 60 fps with pointer moves and a tone for %d s (%d s warm-up): the "
                "helper\nwith -autoallow and ovu-phone view on loopback\n",
                duration, warmUp);
    std::printf("%-52s %12s %12s\n", "", "value", "goal");
    std::printf("%-52s %12.1f %12s\n", "helper RSS before the phone came (MB)", rssBeforeKb / 1024.0, "-");
    std::printf("%-52s %12.1f %12s\n", "helper RSS after the warm-up (MB)", rssStart, "-");
    std::printf("%-52s %12.1f %12s\n", "helper RSS at the end (MB)", rssEnd, "-");
    std::printf("%-52s %12.1f %12s\n", "helper RSS peak after the warm-up (MB)", peakKb / 1024.0, "-");
    std::printf("%-52s %12.1f %12s\n", "helper RSS growth after the warm-up (MB)", rssEnd - rssStart, "< 5");
    std::printf("%-52s %12.1f %12s\n", "helper RSS after the phone left (MB)", rssAfterKb / 1024.0, "-");
    std::printf("%-52s %12d %12s\n", "helper open file descriptors before the phone came", filesBefore, "-");
    std::printf("%-52s %12d %12s\n", "helper open file descriptors after the warm-up", atWarmUp->files, "-");
    std::printf("%-52s %12d %12s\n", "helper open file descriptors at the end", last.files, "no growth");
    std::printf("%-52s %12d %12s\n", "helper open file descriptors after the phone left", filesAfter, "-");
    std::printf("%-52s %12.1f %12s\n", "helper CPU after the warm-up (% of a core)", cpuPercent, "-");
    std::printf("%-52s %12.0f %12s\n", "first picture at the phone (ms)", seconds(firstPicture) * 1000, "-");
    std::printf("%-52s %12.1f %12s\n", "pictures at the phone per second", fps, "-");
    std::printf("%-52s %12.0f %12s\n", "longest stall at the phone (ms)", seconds(longest) * 1000, "<= 1000");
    std::printf("%-52s %12.1f %12s\n", "  ... at (s after the phone started)", seconds(longestAt), "-");
    std::printf("%-52s %12d %12s\n", "stalls over 250 ms", over250, "-");
    std::printf("%-52s %12d %12s\n", "stalls over 1 s", over1000, "0");
    std::printf("%-52s %12.1f %12s\n", "screen repaints per second", double(drawn) / seconds(ended - start),
                "-");
    // About a dozen points of the memory's course, and the last.
    const std::size_t step = std::max<std::size_t>(1, samples.size() / 12);
    std::printf("helper RSS (MB) every %lld s from the start:",
                static_cast<long long>(sampleEvery.count()) * static_cast<long long>(step));
    for (std::size_t i = 0; i < samples.size(); i += step) {
        std::printf(" %.1f", samples[i].rssKb / 1024.0);
    }
    std::printf("; at the end %.1f\n", rssEnd);
    std::printf("ovu-phone: %s\n", phoneSummary.isEmpty() ? "(no figures)" : phoneSummary.constData());
    std::printf("stall: the longest gap between pictures the phone's appsink took (its GStreamer log),\n"
                "from the first picture to the end of the visit, the end included.\n");
    bool failed = false;
    if (!phoneLasted) {
        std::fprintf(stderr, "bench soak: ovu-phone ended early (status %d): %s\n", phone.exitCode(),
                     phone.errors().right(2000).constData());
        failed = true;
    }
    if (!helperLasted || helperStatus != 0) {
        std::fprintf(stderr, "bench soak: the helper %s (status %d)\n",
                     helperLasted ? "did not end cleanly" : "ended during the visit", helperStatus);
        failed = true;
    }
    if (times.empty()) {
        std::fprintf(stderr, "bench soak: no picture reached the phone\n");
        failed = true;
    }
    if (!tone.playing()) {
        std::fprintf(stderr, "bench soak: the tone did not play\n");
        failed = true;
    }

    const QByteArray span = QByteArray::number(duration) + " s";
    Bench::row("soak: helper RSS after " + QByteArray::number(warmUp) + " s warm-up", rssStart, std::nullopt,
               "MB", "-", 1);
    Bench::row("soak: helper RSS at the end of " + span, rssEnd, std::nullopt, "MB", "-", 1);
    Bench::row("soak: helper RSS growth after warm-up", rssEnd - rssStart, std::nullopt, "MB", "< 5 MB", 1);
    Bench::row("soak: longest stall of the picture at the phone", seconds(longest) * 1000, std::nullopt, "ms",
               "none over 1 s", 0);
    Bench::row("soak: pictures at the phone per second", fps, std::nullopt, "fps", "-", 1);
    Bench::row("soak: helper open file descriptors after warm-up", atWarmUp->files, std::nullopt, "", "-", 0);
    Bench::row("soak: helper open file descriptors at the end", last.files, std::nullopt, "", "no growth", 0);
    std::printf("bench soak: rss_start_mb=%.1f rss_end_mb=%.1f rss_growth_mb=%.1f longest_stall_ms=%.0f "
                "fds_start=%d fds_end=%d\n",
                rssStart, rssEnd, rssEnd - rssStart, seconds(longest) * 1000, atWarmUp->files, last.files);
    return failed ? 1 : 0;
}
