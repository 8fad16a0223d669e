#include "tests/support/FramePump.h"

#include "media/PixelBufferPool.h"
#include "media/VideoSender.h"

#include <chrono>
#include <cstring>

namespace Tests {

FramePump::FramePump(VideoSender& sender, int width, int height, std::uint8_t y, std::uint8_t u,
                     std::uint8_t v, int fps)
    : m_thread([=, this, &sender] {
        PixelBufferPool pool;
        const QByteArray sound(1920, '\x10');
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            if (auto buffer = pool.acquire(width, height)) {
                for (int row = 0; row < height; ++row) {
                    std::memset(buffer->luma() + row * buffer->lumaStride(), y, static_cast<size_t>(width));
                }
                for (int row = 0; row < height / 2; ++row) {
                    std::uint8_t* line = buffer->chroma() + row * buffer->chromaStride();
                    for (int x = 0; x < width; x += 2) {
                        line[x] = u;
                        line[x + 1] = v;
                    }
                }
                sender.sendFrame(buffer, std::chrono::steady_clock::now().time_since_epoch());
            }
            if (withSound) {
                sender.sendAudio(sound);
            }
            next += std::chrono::nanoseconds(1'000'000'000 / fps);
            std::this_thread::sleep_until(next);
        }
    })
{}

FramePump::~FramePump()
{
    stop();
}

void FramePump::stop()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

} // namespace Tests
