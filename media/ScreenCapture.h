#pragma once

#include "core/MainThreadQueue.h"
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
    bool capturesAudio = false;
    FrameCallback onFrame;
    std::function<void(const QByteArray& bytes)> onAudio;
    // The display server ended the capture; called on the main thread.
    std::function<void(const std::optional<CaptureError>& error)> onStopped;

    // The capturable displays, main display first.
    QCoro::Task<CaptureResult<QList<HelperDisplay>>> displays();
    QCoro::Task<std::optional<CaptureError>> start(std::uint32_t displayID, int width, int height);
    // Retargets the running capture; nothing when none runs.
    QCoro::Task<std::optional<CaptureError>> update(std::uint32_t displayID, int width, int height);
    // Stops the running capture; nothing when none runs.
    QCoro::Task<std::optional<CaptureError>> stop();

    bool isRunning() const { return m_stream != nullptr; }
    CaptureBackend& backend() { return m_backend; }

    // The display list from what the platform reports (synchronous part of displays()).
    static CaptureResult<QList<HelperDisplay>> listDisplays(CaptureBackend& backend);

    // 32-bit float sound (interleaved or planar, any channel count) as interleaved signed 16-bit
    // stereo: 4 bytes a frame, full scale at ±26213; nothing for any other format.
    static std::optional<QByteArray> interleaved16(const AudioSample& sample);

private:
    // The display a request captures: the one asked for, else the first one listed.
    CaptureResult<std::uint32_t> filter(std::uint32_t displayID);
    CaptureBackend::Target target(std::uint32_t displayID, int width, int height) const;

    void videoSample(const CaptureBackend::VideoSample& sample) override;
    void audioSample(const AudioSample& sample) override;
    void streamStopped(const std::optional<CaptureError>& error) override;

    CaptureBackend& m_backend;
    std::unique_ptr<CaptureBackend::Stream> m_stream;
    // Tells a stop reported by an earlier stream from one of the current stream.
    std::atomic<std::uint64_t> m_generation{0};
    MainThreadQueue m_mainThread;
};
