#pragma once

#include "base/Result.h"
#include "media/PixelBuffer.h"

#include <QRect>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What screen capture needs of the platform: the displays it can capture, what the desktop
// says about them, and a stream of pictures of one display.
class CaptureBackend {
public:
    // A display the capture service can capture: its size in points, and in pixels when the
    // platform knows them (else they are the points times the display's scale).
    struct Display {
        std::uint32_t id = 0;
        std::int64_t width = 0;
        std::int64_t height = 0;
        std::int64_t pixelWidth = 0;
        std::int64_t pixelHeight = 0;
    };
    // What the desktop knows of a screen: its number (a display id), scale and name.
    struct Screen {
        std::uint32_t number = 0;
        double scale = 1.0;
        QString name;
    };
    // What a stream captures, and how often.
    struct Target {
        std::uint32_t displayID = 0;
        int width = 0;
        int height = 0;
        int framesPerSecond = 60;
    };
    enum class FrameStatus { complete, idle, blank, suspended, started, stopped };
    // One picture sample; only a complete one carries a buffer.
    struct VideoSample {
        std::optional<FrameStatus> status;
        std::shared_ptr<PixelBuffer> buffer;
        // On the monotonic clock.
        std::chrono::nanoseconds presentationTime{0};
    };

    // Receives a running stream's samples on the stream's own thread, and its end.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void videoSample(const VideoSample& sample) = 0;
        // The stream ended by itself (the display server went away), with why; called once, on
        // any thread.
        virtual void streamStopped(const Result<>& why) = 0;
    };

    class Stream {
    public:
        virtual ~Stream() = default;
        // Retargets the running stream; applied before it returns.
        virtual Result<> update(const Target& target) = 0;
        // Stops the stream; no sample is delivered after it returns.
        virtual Result<> stop() = 0;
    };

    virtual ~CaptureBackend() = default;

    // The capturable displays in the platform's order.
    virtual Result<std::vector<Display>> shareableDisplays() = 0;
    virtual std::vector<Screen> screens() = 0;
    virtual std::uint32_t mainDisplayID() = 0;
    // The display's rectangle in the desktop's global coordinates, in pixels.
    virtual std::optional<QRect> displayBounds(std::uint32_t displayID) = 0;
    virtual Result<std::unique_ptr<Stream>> startStream(const Target& target, Sink& sink) = 0;

    // The set of displays, or their sizes, changed.
    std::function<void()> onScreensChanged;

    // The failure when there is nothing to capture.
    static Failure noDisplay() { return {QStringLiteral("No display to capture.")}; }
};
