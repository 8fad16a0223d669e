#include "media/CursorImage.h"
#include "media/HelperDisplay.h"
#include "media/PixelBufferPool.h"
#include "media/ScreenCapture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeCaptureBackend.h"

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;
using Size = std::pair<std::int64_t, std::int64_t>;

static HelperDisplay display(std::int64_t pixelWidth, std::int64_t pixelHeight)
{
    return HelperDisplay{1, u"D"_s, pixelWidth, pixelHeight, pixelWidth, pixelHeight, true};
}

TEST(CaptureSize, EvenAtLeast720LinesNeverMoreThanTheDisplayOr8Point8MegaPixels)
{
    EXPECT_EQ(display(3024, 1964).captureSize(1080), (Size{1662, 1080}));
    EXPECT_EQ(display(5120, 2880).captureSize(2160), (Size{3840, 2160}));
    EXPECT_EQ(display(5120, 2880).captureSize(4320), (Size{3954, 2224}));
    EXPECT_EQ(display(1920, 1080).captureSize(240), (Size{1280, 720}));
    EXPECT_EQ(display(3840, 2160).captureSize(4320), (Size{3840, 2160}));
    EXPECT_EQ(display(800, 600).captureSize(1080), (Size{800, 600})) << "smaller than 720 lines";
    EXPECT_EQ(display(1001, 751).captureSize(2000), (Size{1000, 750})) << "both made even";
    EXPECT_EQ(display(0, 0).captureSize(1080), (Size{0, 0}));
}

using FakeBackend = Tests::FakeCaptureBackend;

TEST(ScreenCapture, DisplaysAreNamedScaledAndListedMainFirst)
{
    FakeBackend backend;
    backend.displays = {{10, 1000, 500}, {20, 1440, 900}, {30, 333, 100}};
    backend.screenList = {{30, 1.5, QString()}, {20, 1.5, u"Built-in"_s}};
    backend.mainID = 20;
    const QList<HelperDisplay> list = ScreenCapture::listDisplays(backend).value();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0], (HelperDisplay{20, u"Built-in"_s, 1440, 900, 2160, 1350, true}));
    // No screen matches 10: named by its place in the platform's list, scale 1.
    EXPECT_EQ(list[1], (HelperDisplay{10, u"Display 1"_s, 1000, 500, 1000, 500, false}));
    EXPECT_EQ(list[2].name, u"Display 3"_s);
    EXPECT_EQ(list[2].pixelWidth, 500) << "333 × 1.5 = 499.5, to the nearest pixel";
    backend.failure = u"no display"_s;
    const auto failed = ScreenCapture::listDisplays(backend);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), u"no display"_s);
}

TEST(ScreenCapture, StartsOnTheDisplayAskedOrTheFirstRetargetsAndStopsOnce)
{
    FakeBackend backend;
    backend.displays = {{10, 100, 100}, {20, 100, 100}};
    ScreenCapture capture(backend);
    EXPECT_TRUE(QCoro::waitFor(capture.update(10, 64, 48)).ok()) << "nothing runs: nothing to do";
    EXPECT_EQ(backend.streamsStarted, 0);
    capture.framesPerSecond = 30;
    EXPECT_TRUE(QCoro::waitFor(capture.start(99, 64, 48)).ok());
    EXPECT_EQ(backend.lastTarget->displayID, 10u);
    EXPECT_EQ(backend.lastTarget->width, 64);
    EXPECT_EQ(backend.lastTarget->framesPerSecond, 30);
    EXPECT_TRUE(QCoro::waitFor(capture.update(20, 32, 24)).ok());
    EXPECT_EQ(backend.lastTarget->displayID, 20u);
    EXPECT_TRUE(QCoro::waitFor(capture.stop()).ok());
    EXPECT_TRUE(QCoro::waitFor(capture.stop()).ok());
    EXPECT_EQ(backend.stops, 1) << "a second stop does nothing";
    backend.displays.clear();
    const Result<> none = QCoro::waitFor(capture.start(10, 64, 48));
    EXPECT_EQ(none.error(), u"No display to capture."_s);
    EXPECT_FALSE(capture.isRunning());
}

TEST(ScreenCapture, OnlyCompletePicturesGoOnAndAStopIsToldOnceOnTheMainThread)
{
    FakeBackend backend;
    backend.displays = {{10, 100, 100}};
    ScreenCapture capture(backend);
    QList<std::chrono::nanoseconds> frames;
    capture.onFrame = [&](const std::shared_ptr<PixelBuffer>&, std::chrono::nanoseconds time) {
        frames.append(time);
    };
    // Each stop told: why, and on which thread.
    QList<std::pair<QString, std::thread::id>> stops;
    capture.onStopped = [&](const Result<>& why) { stops.append({why.error(), std::this_thread::get_id()}); };
    ASSERT_TRUE(QCoro::waitFor(capture.start(10, 64, 48)).ok());
    PixelBufferPool pool;
    using Status = CaptureBackend::FrameStatus;
    for (Status status : {Status::idle, Status::blank, Status::suspended, Status::started, Status::stopped}) {
        backend.sink->videoSample({status, pool.acquire(64, 48), std::chrono::nanoseconds(1)});
    }
    backend.sink->videoSample({std::nullopt, pool.acquire(64, 48), std::chrono::nanoseconds(2)});
    backend.sink->videoSample({Status::complete, nullptr, std::chrono::nanoseconds(3)});
    backend.sink->videoSample({Status::complete, pool.acquire(64, 48), std::chrono::nanoseconds(4)});
    EXPECT_EQ(frames, QList<std::chrono::nanoseconds>{std::chrono::nanoseconds(4)});

    std::thread([&] { backend.sink->streamStopped(Failure{u"gone"_s}); }).join();
    ASSERT_TRUE(Tests::waitUntil([&] { return stops.size() == 1; }));
    EXPECT_EQ(stops[0], std::pair(u"gone"_s, std::this_thread::get_id()));
    EXPECT_FALSE(capture.isRunning());
    // Started again, then stopped by its owner: a late stop from the old stream says nothing.
    ASSERT_TRUE(QCoro::waitFor(capture.start(10, 64, 48)).ok());
    CaptureBackend::Sink* sink = backend.sink;
    EXPECT_TRUE(QCoro::waitFor(capture.stop()).ok());
    sink->streamStopped({});
    Tests::drain();
    EXPECT_EQ(stops.size(), 1);
}

TEST(PixelBufferPool, ABufferOutlivesItsPool)
{
    const std::shared_ptr<PixelBuffer> survivor = PixelBufferPool(1).acquire(64, 48);
    survivor->luma()[0] = 1; // still valid memory
}

TEST(CursorImage, BlendsPremultipliedAndClipsAtTheEdges)
{
    // Opaque red, half-transparent white (premultiplied), fully transparent, opaque blue.
    const CursorImage cursor{.width = 2,
                             .height = 2,
                             .hotX = 1,
                             .hotY = 1,
                             .pixels = {0xFFFF0000u, 0x80808080u, 0x00000000u, 0xFF0000FFu}};
    std::vector<std::uint8_t> picture(3 * 3 * 4, 0);
    cursor.blend(picture.data(), 12, 3, 3, 1, 1);
    auto at = [&](int x, int y, int channel) {
        return int(picture[static_cast<std::size_t>(y * 12 + x * 4 + channel)]);
    };
    EXPECT_EQ(at(0, 0, 2), 255); // red
    EXPECT_EQ(at(1, 0, 0), 128); // white at half
    EXPECT_EQ(at(0, 1, 2), 0);   // transparent: untouched
    EXPECT_EQ(at(1, 1, 0), 255); // blue
    // Hot spot at the corner: only the part inside is drawn, nothing outside is written.
    std::vector<std::uint8_t> small(4, 7);
    cursor.blend(small.data(), 4, 1, 1, 0, 0);
    EXPECT_EQ(int(small[0]), 255);
    EXPECT_EQ(int(small[2]), 0);
}
