#include "media/ScreenCapture.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/X11Monitors.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/X11Painter.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray one = ":1";
const QByteArray two = ":2";

struct Sample {
    int width = 0;
    int height = 0;
    int y = 0;
    int u = 0;
    int v = 0;
    int maxLumaAroundCentre = 0;
    std::chrono::steady_clock::time_point arrived;
};

// A capture whose pictures are summarised as they arrive (and let go at once).
struct Capture {
    X11CaptureBackend backend;
    ScreenCapture capture{backend};
    std::mutex mutex;
    std::vector<Sample> samples;
    bool holdBuffers = false;
    std::vector<std::shared_ptr<PixelBuffer>> held;

    explicit Capture(const QByteArray& display) : backend(display)
    {
        capture.onFrame = [this](const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds) {
            Sample s;
            s.width = buffer->width();
            s.height = buffer->height();
            const int cx = buffer->width() / 2;
            const int cy = buffer->height() / 2;
            s.y = buffer->luma()[cy * buffer->lumaStride() + cx];
            s.u = buffer->chroma()[(cy / 2) * buffer->chromaStride() + (cx & ~1)];
            s.v = buffer->chroma()[(cy / 2) * buffer->chromaStride() + (cx & ~1) + 1];
            for (int y = std::max(0, cy - 24); y < std::min(buffer->height(), cy + 24); ++y) {
                for (int x = std::max(0, cx - 24); x < std::min(buffer->width(), cx + 24); ++x) {
                    s.maxLumaAroundCentre =
                        std::max<int>(s.maxLumaAroundCentre, buffer->luma()[y * buffer->lumaStride() + x]);
                }
            }
            s.arrived = std::chrono::steady_clock::now();
            std::lock_guard lock(mutex);
            samples.push_back(s);
            if (holdBuffers) {
                held.push_back(buffer);
            }
        };
    }
    ~Capture() { QCoro::waitFor(capture.stop()); }

    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    Sample last()
    {
        std::lock_guard lock(mutex);
        return samples.back();
    }
    bool waitForFrames(std::size_t n, std::chrono::milliseconds timeout = 5s)
    {
        return Tests::waitUntil([&] { return count() >= n; }, timeout);
    }
    // Waits for a picture whose centre matches the predicate.
    bool waitFor(const std::function<bool(const Sample&)>& matches, std::chrono::milliseconds timeout = 5s)
    {
        return Tests::waitUntil(
            [&] {
                std::lock_guard lock(mutex);
                return !samples.empty() && matches(samples.back());
            },
            timeout);
    }
    std::uint32_t idOf(const QString& name)
    {
        for (const X11Monitor& monitor : backend.monitors()) {
            if (monitor.name == name) {
                return monitor.id;
            }
        }
        ADD_FAILURE() << "no monitor " << name.toStdString();
        return 0;
    }
};

bool near(int value, int expected)
{
    return std::abs(value - expected) <= 2;
}

void xrandr(const QByteArray& display, const QStringList& arguments)
{
    Tests::Child child;
    child.start(u"xrandr"_s, QStringList{u"-display"_s, QString::fromLatin1(display)} + arguments);
    ASSERT_TRUE(child.wait(10s));
    ASSERT_EQ(child.exitCode(), 0) << child.errors().constData();
}

} // namespace

TEST(X11Displays, OneMonitor)
{
    X11CaptureBackend backend(one);
    EXPECT_TRUE(backend.isAvailable());
    const auto list = ScreenCapture::listDisplays(backend);
    ASSERT_TRUE(list.ok());
    ASSERT_EQ(list.value().size(), 1);
    const HelperDisplay& display = list.value()[0];
    EXPECT_EQ(display.name, u"screen"_s);
    EXPECT_EQ(display.width, 1920);
    EXPECT_EQ(display.height, 1080);
    EXPECT_EQ(display.pixelWidth, 1920);
    EXPECT_EQ(display.pixelHeight, 1080);
    EXPECT_TRUE(display.isMain) << "no monitor is primary: the first is the main one";
    EXPECT_EQ(backend.displayBounds(display.id), QRect(0, 0, 1920, 1080));
}

TEST(X11Displays, TwoMonitorsPrimaryFirstAndIdsFromOutputsOrNames)
{
    X11CaptureBackend backend(two);
    const auto list = ScreenCapture::listDisplays(backend);
    ASSERT_TRUE(list.ok());
    ASSERT_EQ(list.value().size(), 2);
    EXPECT_EQ(list.value()[0].name, u"DP-A"_s);
    EXPECT_TRUE(list.value()[0].isMain);
    EXPECT_EQ(list.value()[1].name, u"DP-B"_s);
    EXPECT_FALSE(list.value()[1].isMain);
    EXPECT_NE(list.value()[0].id, list.value()[1].id);
    EXPECT_EQ(backend.displayBounds(list.value()[1].id), QRect(1920, 0, 1920, 1080));
    // DP-A has the output "screen"; DP-B has none and is known by its name atom.
    ASSERT_EQ(backend.monitors().size(), 2u);
    EXPECT_GT(backend.monitors()[0].id, 0u);
    EXPECT_LT(backend.monitors()[1].id, 0x1000u) << "an atom, not an XID";
}

TEST(X11Displays, ScaleComesFromXftDpiAndPixelsAreTheMonitors)
{
    X11Painter painter(two);
    painter.setResources("Xcursor.size:\t24\nXft.dpi:\t168\n");
    X11CaptureBackend backend(two);
    const auto list = ScreenCapture::listDisplays(backend).value();
    painter.setResources("");
    // 1.75: the points are rounded, the pixels are the monitor's own, captured unscaled.
    EXPECT_EQ(list[0].width, 1097);
    EXPECT_EQ(list[0].height, 617);
    EXPECT_EQ(list[0].pixelWidth, 1920);
    EXPECT_EQ(list[0].pixelHeight, 1080);
    EXPECT_EQ(list[0].captureSize(1080), (std::pair<std::int64_t, std::int64_t>{1920, 1080}));
    EXPECT_DOUBLE_EQ(X11Monitors::scaleFromResources("Xft.dpi: 144"), 1.5);
    EXPECT_DOUBLE_EQ(X11Monitors::scaleFromResources("Xft.antialias: 1\n"), 1.0);
}

TEST(X11Displays, EdidNameIsTheMonitorDescriptor)
{
    QByteArray edid(128, '\0');
    const QByteArray descriptor = QByteArray("\x00\x00\x00\xFC\x00", 5) + "DELL U2720Q\n ";
    edid.replace(72, descriptor.size(), descriptor);
    EXPECT_EQ(X11Monitors::edidName(edid), u"DELL U2720Q"_s);
    EXPECT_EQ(X11Monitors::edidName(QByteArray(128, '\0')), QString());
    EXPECT_EQ(X11Monitors::edidName("short"), QString());
}

TEST(X11Displays, EveryChangeIsAnnouncedOnceWhoeverReadsItFirst)
{
    X11Painter painter(two);
    X11CaptureBackend backend(two);
    int changes = 0;
    backend.onScreensChanged = [&] { ++changes; };
    Tests::spin(2500ms);
    EXPECT_EQ(changes, 0) << "a quiet screen is no change";

    // Each change is read first by another question (the display list, the permission poll,
    // a display's bounds) before the backend's own check comes round.
    xrandr(two, {u"--setmonitor"_s, u"DP-C"_s, u"640/100x480/100+0+0"_s, u"none"_s});
    EXPECT_EQ(ScreenCapture::listDisplays(backend).value().size(), 3);
    EXPECT_TRUE(Tests::waitUntil([&] { return changes == 1; }, 4s));
    painter.setResources("Xft.dpi:\t168\n");
    EXPECT_TRUE(backend.isAvailable());
    EXPECT_TRUE(Tests::waitUntil([&] { return changes == 2; }, 4s)) << "a new scale is a change";
    painter.setResources("");
    xrandr(two, {u"--delmonitor"_s, u"DP-C"_s});
    backend.displayBounds(backend.mainDisplayID());
    EXPECT_TRUE(Tests::waitUntil([&] { return changes == 3; }, 4s)) << "read together, told together";
    Tests::spin(2500ms);
    EXPECT_EQ(changes, 3) << "each change once";
}

TEST(X11Capture, SolidColourArrivesAtTheRequestedSize)
{
    X11Painter painter(one);
    painter.movePointer(1919, 1079);
    painter.fill(QRect(0, 0, 1920, 1080), 0xFF0000);
    Capture c(one);
    const auto display = ScreenCapture::listDisplays(c.backend).value()[0];
    ASSERT_FALSE(QCoro::waitFor(c.capture.start(display.id, 1280, 720)));
    ASSERT_TRUE(c.waitForFrames(1));
    const Sample s = c.last();
    EXPECT_EQ(s.width, 1280);
    EXPECT_EQ(s.height, 720);
    EXPECT_TRUE(near(s.y, 81) && near(s.u, 90) && near(s.v, 240)) << s.y << " " << s.u << " " << s.v;

    painter.fill(QRect(0, 0, 1920, 1080), 0x00FF00);
    EXPECT_TRUE(c.waitFor([](const Sample& x) { return near(x.y, 145) && near(x.u, 54) && near(x.v, 34); }));
}

TEST(X11Capture, UpdateMovesToTheSecondMonitor)
{
    X11Painter painter(two);
    painter.movePointer(0, 1079);
    painter.fill(QRect(0, 0, 1920, 1080), 0x00FF00);
    painter.fill(QRect(1920, 0, 1920, 1080), 0x0000FF);
    Capture c(two);
    ASSERT_FALSE(QCoro::waitFor(c.capture.start(c.idOf(u"DP-A"_s), 1920, 1080)));
    EXPECT_TRUE(c.waitFor([](const Sample& x) { return near(x.y, 145); }));
    ASSERT_FALSE(QCoro::waitFor(c.capture.update(c.idOf(u"DP-B"_s), 960, 540)));
    EXPECT_TRUE(c.waitFor([](const Sample& x) { return near(x.y, 41) && near(x.u, 240) && x.width == 960; }))
        << "the static second monitor is captured at once after the switch";
}

TEST(X11Capture, PointerIsDrawnIn)
{
    X11Painter painter(one);
    painter.fill(QRect(0, 0, 1920, 1080), 0x000000);
    painter.movePointer(1919, 1079);
    Capture c(one);
    const auto display = ScreenCapture::listDisplays(c.backend).value()[0];
    ASSERT_FALSE(QCoro::waitFor(c.capture.start(display.id, 1920, 1080)));
    ASSERT_TRUE(c.waitForFrames(1));
    EXPECT_LE(c.last().maxLumaAroundCentre, 18) << "nothing but black around the centre";
    painter.movePointer(960, 540);
    EXPECT_TRUE(c.waitFor([](const Sample& x) { return x.maxLumaAroundCentre > 100; }))
        << "pointer motion alone makes a new picture, with the pointer in it";
}

TEST(X11Capture, StaticScreenIsIdleAndAChangeArrivesWithinTwoIntervals)
{
    X11Painter painter(one);
    painter.movePointer(1919, 1079);
    painter.fill(QRect(0, 0, 1920, 1080), 0x808080);
    Capture c(one);
    c.capture.framesPerSecond = 30;
    const auto display = ScreenCapture::listDisplays(c.backend).value()[0];
    ASSERT_FALSE(QCoro::waitFor(c.capture.start(display.id, 1920, 1080)));
    ASSERT_TRUE(c.waitForFrames(1));
    Tests::spin(100ms);
    const std::size_t settled = c.count();
    Tests::spin(600ms);
    EXPECT_EQ(c.count(), settled) << "an unchanged screen gives no pictures";

    const auto changedAt = std::chrono::steady_clock::now();
    painter.fill(QRect(100, 100, 50, 50), 0xFFFFFF);
    ASSERT_TRUE(c.waitForFrames(settled + 1, 1s));
    const auto delay = c.last().arrived - changedAt;
    // Two intervals at 30 frames per second, and room for a busy machine.
    EXPECT_LT(delay, 2 * 33ms + 50ms) << std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
}

TEST(X11Capture, PictureFindingAllBuffersHeldIsSkipped)
{
    X11Painter painter(one);
    painter.movePointer(1919, 1079);
    Capture c(one);
    c.holdBuffers = true;
    const auto display = ScreenCapture::listDisplays(c.backend).value()[0];
    ASSERT_FALSE(QCoro::waitFor(c.capture.start(display.id, 640, 360)));
    for (int i = 0; i < 8; ++i) {
        painter.fill(QRect(0, 0, 1920, 1080), 0x101010u * std::uint32_t(i + 1));
        Tests::spin(60ms);
    }
    EXPECT_EQ(c.count(), std::size_t(X11CaptureStream::queueDepth)) << "every buffer held, then nothing";
    {
        std::lock_guard lock(c.mutex);
        c.holdBuffers = false;
        c.held.clear();
    }
    EXPECT_TRUE(c.waitForFrames(5)) << "a change still pending is delivered once a buffer is free";
}

TEST(X11Capture, LostXServerStopsTheCaptureOnce)
{
    Tests::Child xvfb;
    ASSERT_TRUE(xvfb.start(u"Xvfb"_s, {u":7"_s, u"-screen"_s, u"0"_s, u"800x600x24"_s, u"-nolisten"_s,
                                       u"tcp"_s, u"-noreset"_s, u"-nolock"_s}));
    ASSERT_TRUE(Tests::waitUntil([] { return X11Painter(":7").isConnected(); }, 10s));
    Capture c(":7");
    int stopped = 0;
    std::optional<CaptureError> error;
    c.capture.onStopped = [&](const std::optional<CaptureError>& e) {
        ++stopped;
        error = e;
    };
    const auto display = ScreenCapture::listDisplays(c.backend).value()[0];
    ASSERT_FALSE(QCoro::waitFor(c.capture.start(display.id, 800, 600)));
    ASSERT_TRUE(c.waitForFrames(1));
    xvfb.kill();
    ASSERT_TRUE(Tests::waitUntil([&] { return stopped > 0; }, 5s));
    Tests::spin(300ms);
    EXPECT_EQ(stopped, 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, u"The connection to the X display was lost."_s);
    EXPECT_FALSE(c.capture.isRunning());
    EXPECT_FALSE(ScreenCapture::listDisplays(c.backend).ok()) << "no display without a server";
}
