// Screen capture cost on Xvfb: grab + pointer + convert per picture, with the whole screen
// changing all the time, beside ffmpeg's x11grab (XShm + swscale to NV12) on the same screen in
// the same run; and the cost of watching a static screen.
#include "bench/BenchSupport.h"
#include "media/ScreenCapture.h"
#include "platform/x11/X11CaptureBackend.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/X11Painter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Repaints the whole screen with a new colour every few milliseconds, from a thread of its own.
class Animator {
public:
    Animator(const QByteArray& display, QRect rect)
        : m_thread([this, display, rect] {
            X11Painter painter(display);
            std::uint32_t colour = 0;
            while (!m_stop) {
                colour = (colour + 0x030507) & 0xFFFFFF;
                painter.fill(rect, colour);
                std::this_thread::sleep_for(4ms);
            }
        })
    {}
    ~Animator()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct OurFigures {
    double fps = 0;
    double medianMs = 0;
    double p99Ms = 0;
    double cpuPerFrameMs = 0;
};

// Captures for a while at the display's own size and measures the capture thread.
OurFigures ours(const QByteArray& display, std::chrono::seconds duration)
{
    X11CaptureBackend backend(display);
    ScreenCapture capture(backend);
    std::mutex mutex;
    std::vector<double> cpuAtFrame;
    capture.onFrame = [&](const std::shared_ptr<PixelBuffer>&, std::chrono::nanoseconds) {
        const double cpu = threadCpuSeconds();
        std::lock_guard lock(mutex);
        cpuAtFrame.push_back(cpu);
    };
    const HelperDisplay target = ScreenCapture::listDisplays(backend).value().front();
    QCoro::waitFor(capture.start(target.id, int(target.pixelWidth), int(target.pixelHeight)));
    Tests::spin(1s); // warm-up
    std::size_t first = 0;
    {
        std::lock_guard lock(mutex);
        first = cpuAtFrame.size();
    }
    Tests::spin(duration);
    QCoro::waitFor(capture.stop());
    std::vector<double> perFrame;
    for (std::size_t i = first + 1; i < cpuAtFrame.size(); ++i) {
        perFrame.push_back((cpuAtFrame[i] - cpuAtFrame[i - 1]) * 1000);
    }
    OurFigures figures;
    if (perFrame.empty()) {
        return figures;
    }
    figures.fps = static_cast<double>(perFrame.size()) / static_cast<double>(duration.count());
    figures.cpuPerFrameMs =
        (cpuAtFrame.back() - cpuAtFrame[first]) * 1000 / static_cast<double>(perFrame.size());
    std::sort(perFrame.begin(), perFrame.end());
    figures.medianMs = perFrame[perFrame.size() / 2];
    figures.p99Ms = perFrame[std::min(perFrame.size() - 1, perFrame.size() * 99 / 100)];
    return figures;
}

struct ReferenceFigures {
    double fps = 0;
    double cpuPerFrameMs = 0;
};

ReferenceFigures ffmpeg(const QByteArray& display, QSize size, std::chrono::seconds duration)
{
    Tests::Child child;
    child.start(u"ffmpeg"_s,
                {u"-hide_banner"_s, u"-nostdin"_s, u"-f"_s, u"x11grab"_s, u"-framerate"_s, u"60"_s,
                 u"-video_size"_s, QString::number(size.width()) + u'x' + QString::number(size.height()),
                 u"-i"_s, QString::fromLatin1(display), u"-t"_s, QString::number(duration.count()),
                 u"-pix_fmt"_s, u"nv12"_s, u"-f"_s, u"null"_s, u"-"_s});
    // Its CPU time as last read from /proc while it ran: at most 10 ms short.
    double cpuSeconds = 0;
    const auto end = std::chrono::steady_clock::now() + duration + 30s;
    while (child.isRunning() && std::chrono::steady_clock::now() < end) {
        cpuSeconds = Bench::processCpu(child.pid());
        std::this_thread::sleep_for(10ms);
    }
    const QString log = QString::fromUtf8(child.errors());
    ReferenceFigures figures;
    QRegularExpressionMatchIterator frames = QRegularExpression(u"frame=\\s*(\\d+)"_s).globalMatch(log);
    int count = 0;
    while (frames.hasNext()) {
        count = frames.next().captured(1).toInt();
    }
    if (count == 0) {
        std::fprintf(stderr, "ffmpeg produced no frames:\n%s\n", qPrintable(log.right(2000)));
        return figures;
    }
    figures.fps = count / static_cast<double>(duration.count());
    figures.cpuPerFrameMs = cpuSeconds * 1000 / count;
    return figures;
}

// Lets the event loop sleep for a while (Tests::spin polls, which would cost CPU itself).
void idleFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

double idleCpuPercent(const QByteArray& display, std::chrono::seconds duration)
{
    X11CaptureBackend backend(display);
    ScreenCapture capture(backend);
    int frames = 0;
    capture.onFrame = [&](const std::shared_ptr<PixelBuffer>&, std::chrono::nanoseconds) { ++frames; };
    const HelperDisplay target = ScreenCapture::listDisplays(backend).value().front();
    QCoro::waitFor(capture.start(target.id, int(target.pixelWidth), int(target.pixelHeight)));
    idleFor(1s);
    const double before = processCpuSeconds();
    idleFor(duration);
    const double used = processCpuSeconds() - before;
    QCoro::waitFor(capture.stop());
    return used / static_cast<double>(duration.count()) * 100;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::chrono::seconds duration(10);

    // :1 is 1920×1080 (tests/env/xvfb); a 2560×1440 display of its own.
    Tests::Child xvfb1440;
    xvfb1440.start(u"Xvfb"_s,
                   {u":9"_s, u"-screen"_s, u"0"_s, u"2560x1440x24"_s, u"-nolisten"_s, u"tcp"_s, u"-noreset"_s,
                    u"-nolock"_s},
                   QProcessEnvironment::systemEnvironment(), false);
    Tests::waitUntil([] { return X11Painter(":9").isConnected(); }, 10s);

    struct Screen {
        const char* label;
        QByteArray display;
        QSize size;
    };
    const Screen screens[] = {{"1920x1080", ":1", {1920, 1080}}, {"2560x1440", ":9", {2560, 1440}}};
    std::printf("Capture of a screen that changes all the time, at a 60 fps target, %lld s each\n",
                static_cast<long long>(duration.count()));
    std::printf("%-10s %8s %12s %12s %12s %10s %12s %8s\n", "screen", "our fps", "cpu/frame ms", "median ms",
                "p99 ms", "ffmpeg fps", "cpu/frame ms", "ratio");
    double fps1080 = 0;
    double ratio1080 = 0;
    double ratio1440 = 0;
    OurFigures our1080;
    OurFigures our1440;
    ReferenceFigures reference1080;
    ReferenceFigures reference1440;
    for (const Screen& screen : screens) {
        OurFigures our;
        ReferenceFigures reference;
        {
            Animator animator(screen.display, QRect(QPoint(0, 0), screen.size));
            our = ours(screen.display, duration);
            reference = ffmpeg(screen.display, screen.size, duration);
        }
        const double ratio = reference.cpuPerFrameMs > 0 ? our.cpuPerFrameMs / reference.cpuPerFrameMs : 0;
        std::printf("%-10s %8.1f %12.2f %12.2f %12.2f %10.1f %12.2f %8.2f\n", screen.label, our.fps,
                    our.cpuPerFrameMs, our.medianMs, our.p99Ms, reference.fps, reference.cpuPerFrameMs,
                    ratio);
        if (screen.size.height() == 1080) {
            fps1080 = our.fps;
            ratio1080 = ratio;
            our1080 = our;
            reference1080 = reference;
        } else {
            ratio1440 = ratio;
            our1440 = our;
            reference1440 = reference;
        }
    }
    std::printf("ours: grab (MIT-SHM) + pointer + libyuv to NV12 on the capture thread (its CPU clock);\n"
                "ffmpeg: -f x11grab -framerate 60 -pix_fmt nv12 -f null -, the whole process's CPU.\n\n");

    const double idle = idleCpuPercent(":1", duration);
    std::printf("static 1920x1080 screen captured at 60 fps for %lld s: %.2f %% of one core\n",
                static_cast<long long>(duration.count()), idle);
    Bench::row("capture: pictures per second, 1920x1080 changing (vs ffmpeg x11grab)", our1080.fps,
               reference1080.fps, "fps", "60 fps");
    Bench::row("capture: CPU per picture, 1920x1080 (vs ffmpeg x11grab)", our1080.cpuPerFrameMs,
               reference1080.cpuPerFrameMs, "ms");
    Bench::row("capture: CPU per picture, 2560x1440 (vs ffmpeg x11grab)", our1440.cpuPerFrameMs,
               reference1440.cpuPerFrameMs, "ms");
    Bench::row("capture: CPU watching a static 1920x1080 screen", idle, std::nullopt, "% of a core");
    std::printf("bench capture: fps_1080=%.1f cpu_ratio_1080=%.2f cpu_ratio_1440=%.2f idle_cpu_pct=%.2f\n",
                fps1080, ratio1080, ratio1440, idle);
    xvfb1440.kill();
    return 0;
}
