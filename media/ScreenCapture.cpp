#include "media/ScreenCapture.h"

#include <QtEndian>

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

CaptureResult<QList<HelperDisplay>> ScreenCapture::listDisplays(CaptureBackend& backend)
{
    CaptureResult<std::vector<CaptureBackend::Display>> content = backend.shareableDisplays();
    if (!content.ok()) {
        return content.error();
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

QCoro::Task<CaptureResult<QList<HelperDisplay>>> ScreenCapture::displays()
{
    co_return listDisplays(m_backend);
}

CaptureResult<std::uint32_t> ScreenCapture::filter(std::uint32_t displayID)
{
    CaptureResult<std::vector<CaptureBackend::Display>> content = m_backend.shareableDisplays();
    if (!content.ok()) {
        return content.error();
    }
    const auto& list = content.value();
    if (list.empty()) {
        return CaptureError::noDisplay();
    }
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const CaptureBackend::Display& d) { return d.id == displayID; });
    return found != list.end() ? found->id : list.front().id;
}

CaptureBackend::Target ScreenCapture::target(std::uint32_t displayID, int width, int height) const
{
    return CaptureBackend::Target{displayID, width, height, framesPerSecond, capturesAudio};
}

QCoro::Task<std::optional<CaptureError>> ScreenCapture::start(std::uint32_t displayID, int width, int height)
{
    const CaptureResult<std::uint32_t> chosen = filter(displayID);
    if (!chosen.ok()) {
        co_return chosen.error();
    }
    ++m_generation;
    CaptureResult<std::unique_ptr<CaptureBackend::Stream>> stream =
        m_backend.startStream(target(chosen.value(), width, height), *this);
    if (!stream.ok()) {
        co_return stream.error();
    }
    m_stream = std::move(stream.value());
    co_return std::nullopt;
}

QCoro::Task<std::optional<CaptureError>> ScreenCapture::update(std::uint32_t displayID, int width, int height)
{
    if (!m_stream) {
        co_return std::nullopt;
    }
    const CaptureResult<std::uint32_t> chosen = filter(displayID);
    if (!chosen.ok()) {
        co_return chosen.error();
    }
    co_return m_stream->update(target(chosen.value(), width, height));
}

QCoro::Task<std::optional<CaptureError>> ScreenCapture::stop()
{
    if (!m_stream) {
        co_return std::nullopt;
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

void ScreenCapture::streamStopped(const std::optional<CaptureError>& error)
{
    const std::uint64_t generation = m_generation.load();
    m_mainThread.post([this, generation, error] {
        // A stream the model stopped (or replaced) meanwhile reports nothing.
        if (!m_stream || generation != m_generation.load()) {
            return;
        }
        std::unique_ptr<CaptureBackend::Stream> ended = std::move(m_stream);
        ended->stop();
        if (onStopped) {
            onStopped(error);
        }
    });
}

namespace {

std::int16_t sampleValue(float x)
{
    // 0.8 of full scale (26213.6 in single precision), so the result never reaches the limits;
    // 1.0 and above, and NaN, give 26213.
    if (x < 1.0f) {
        return static_cast<std::int16_t>(std::trunc(std::max(x, -1.0f) * 26213.6f));
    }
    return 26213;
}

// The float at an index of a buffer, 0 past its end.
float floatAt(const QByteArray& data, std::int64_t index)
{
    if (index < 0 || (index + 1) * 4 > data.size()) {
        return 0.0f;
    }
    float value = 0;
    std::memcpy(&value, data.constData() + index * 4, 4);
    return value;
}

} // namespace

std::optional<QByteArray> ScreenCapture::interleaved16(const AudioSample& sample)
{
    if (!sample.description || sample.description->formatID != AudioSample::linearPCM ||
        (sample.description->formatFlags & AudioSample::floatFlag) == 0 ||
        sample.description->bitsPerChannel != 32) {
        return std::nullopt;
    }
    const std::int64_t frames = sample.frameCount;
    if (frames < 1) {
        return std::nullopt;
    }
    QByteArray output(static_cast<qsizetype>(4 * frames), '\0');
    if (!sample.buffers) {
        return std::nullopt;
    }
    const std::vector<AudioSample::Buffer>& list = *sample.buffers;
    if (list.empty() || list.front().data.isEmpty()) {
        return output; // silence of the right length
    }
    const AudioSample::Buffer& first = list.front();
    const bool interleaved = list.size() == 1 && first.channels > 1;
    const std::int64_t stride = interleaved ? first.channels : 1;
    const QByteArray& right = list.size() >= 2 && !list[1].data.isEmpty() ? list[1].data : first.data;
    char* out = output.data();
    for (std::int64_t i = 0; i < frames; ++i) {
        const std::int16_t left = sampleValue(floatAt(first.data, i * stride));
        const std::int16_t other =
            sampleValue(interleaved ? floatAt(first.data, i * stride + 1)
                                    : floatAt(list.size() >= 2 ? right : first.data, i));
        qToLittleEndian(left, out + 4 * i);
        qToLittleEndian(other, out + 4 * i + 2);
    }
    return output;
}

void ScreenCapture::audioSample(const AudioSample& sample)
{
    if (std::optional<QByteArray> bytes = interleaved16(sample); bytes && onAudio) {
        onAudio(*bytes);
    }
}
