#include "media/ScreenCapture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

ScreenCapture::ScreenCapture(CaptureBackend& backend) : m_backend(backend)
{}

ScreenCapture::~ScreenCapture()
{
    if (m_stream) {
        m_stream->stop();
    }
}

Result<QList<HelperDisplay>> ScreenCapture::listDisplays(CaptureBackend& backend)
{
    Result<std::vector<CaptureBackend::Display>> content = backend.shareableDisplays();
    if (!content.ok()) {
        return Failure{content.error()};
    }
    const std::uint32_t mainID = backend.mainDisplayID();
    const std::vector<CaptureBackend::Screen> screens = backend.screens();
    QList<HelperDisplay> displays;
    int position = 0;
    for (const CaptureBackend::Display& display : content.value()) {
        ++position;
        const auto screen =
            std::find_if(screens.begin(), screens.end(),
                         [&](const CaptureBackend::Screen& s) { return s.number == display.id; });
        const double scale = screen != screens.end() ? screen->scale : 1.0;
        QString name = screen != screens.end() ? screen->name : QString();
        if (name.isEmpty()) {
            name = QStringLiteral("Display ") + QString::number(position);
        }
        const auto pixels = [scale](std::int64_t known, std::int64_t points) {
            return known > 0 ? known : std::llround(static_cast<double>(points) * scale);
        };
        displays.append(HelperDisplay{
            display.id,
            name,
            display.width,
            display.height,
            pixels(display.pixelWidth, display.width),
            pixels(display.pixelHeight, display.height),
            display.id == mainID,
        });
    }
    std::stable_sort(
        displays.begin(), displays.end(),
        [](const HelperDisplay& left, const HelperDisplay& right) { return left.isMain && !right.isMain; });
    return displays;
}

QCoro::Task<Result<QList<HelperDisplay>>> ScreenCapture::displays()
{
    co_return listDisplays(m_backend);
}

Result<std::uint32_t> ScreenCapture::filter(std::uint32_t displayID)
{
    Result<std::vector<CaptureBackend::Display>> content = m_backend.shareableDisplays();
    if (!content.ok()) {
        return Failure{content.error()};
    }
    const auto& list = content.value();
    if (list.empty()) {
        return CaptureBackend::noDisplay();
    }
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const CaptureBackend::Display& d) { return d.id == displayID; });
    return found != list.end() ? found->id : list.front().id;
}

CaptureBackend::Target ScreenCapture::target(std::uint32_t displayID, int width, int height) const
{
    return CaptureBackend::Target{displayID, width, height, framesPerSecond};
}

QCoro::Task<Result<>> ScreenCapture::start(std::uint32_t displayID, int width, int height)
{
    const Result<std::uint32_t> chosen = filter(displayID);
    if (!chosen.ok()) {
        co_return Failure{chosen.error()};
    }
    ++m_generation;
    Result<std::unique_ptr<CaptureBackend::Stream>> stream =
        m_backend.startStream(target(chosen.value(), width, height), *this);
    if (!stream.ok()) {
        co_return Failure{stream.error()};
    }
    m_stream = std::move(stream.value());
    co_return Result<>();
}

QCoro::Task<Result<>> ScreenCapture::update(std::uint32_t displayID, int width, int height)
{
    if (!m_stream) {
        co_return Result<>();
    }
    const Result<std::uint32_t> chosen = filter(displayID);
    if (!chosen.ok()) {
        co_return Failure{chosen.error()};
    }
    co_return m_stream->update(target(chosen.value(), width, height));
}

QCoro::Task<Result<>> ScreenCapture::stop()
{
    if (!m_stream) {
        co_return Result<>();
    }
    std::unique_ptr<CaptureBackend::Stream> stream = std::move(m_stream);
    ++m_generation;
    co_return stream->stop();
}

void ScreenCapture::videoSample(const CaptureBackend::VideoSample& sample)
{
    // Anything but a complete picture is dropped before any other work.
    if (sample.status != CaptureBackend::FrameStatus::complete || !sample.buffer) {
        return;
    }
    if (onFrame) {
        onFrame(sample.buffer, sample.presentationTime);
    }
}

void ScreenCapture::streamStopped(const Result<>& why)
{
    const std::uint64_t generation = m_generation.load();
    m_mainThread.post([this, generation, why] {
        // A stream the model stopped (or replaced) meanwhile reports nothing.
        if (!m_stream || generation != m_generation.load()) {
            return;
        }
        std::unique_ptr<CaptureBackend::Stream> ended = std::move(m_stream);
        ended->stop();
        if (onStopped) {
            onStopped(why);
        }
    });
}
