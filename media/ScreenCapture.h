#pragma once

#include "base/MainThreadQueue.h"
#include "media/CaptureBackend.h"
#include "media/HelperDisplay.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Captures one display at a time and hands each finished picture on, and lists the displays.
// Control runs on the main thread; pictures arrive on the capture's own thread.
class ScreenCapture : public QObject, private CaptureBackend::Sink {
    Q_OBJECT

public:
    explicit ScreenCapture(CaptureBackend& backend);
    ~ScreenCapture() override;

    using FrameCallback =
        std::function<void(const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time)>;

    // Settings and callbacks for the next start. They are read by the capture thread while it
    // runs, so they are set while no capture runs.
    int framesPerSecond = 60;
    FrameCallback onFrame;
    // The display server ended the capture, with why; called on the main thread.
    std::function<void(const Result<>& why)> onStopped;

    // The capturable displays, main display first.
    QCoro::Task<Result<QList<HelperDisplay>>> displays();
    QCoro::Task<Result<>> start(std::uint32_t displayID, int width, int height);
    // Retargets the running capture; nothing when none runs.
    QCoro::Task<Result<>> update(std::uint32_t displayID, int width, int height);
    // Stops the running capture; nothing when none runs.
    QCoro::Task<Result<>> stop();

    bool isRunning() const { return m_stream != nullptr; }
    CaptureBackend& backend() { return m_backend; }

    // The display list from what the platform reports (synchronous part of displays()).
    static Result<QList<HelperDisplay>> listDisplays(CaptureBackend& backend);

private:
    // The display a request captures: the one asked for, else the first one listed.
    Result<std::uint32_t> filter(std::uint32_t displayID);
    CaptureBackend::Target target(std::uint32_t displayID, int width, int height) const;

    void videoSample(const CaptureBackend::VideoSample& sample) override;
    void streamStopped(const Result<>& why) override;

    CaptureBackend& m_backend;
    std::unique_ptr<CaptureBackend::Stream> m_stream;
    // Tells a stop reported by an earlier stream from one of the current stream.
    std::atomic<std::uint64_t> m_generation{0};
    MainThreadQueue m_mainThread;
};
