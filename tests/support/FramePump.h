#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class VideoSender;

namespace Tests {

// Pictures of one colour (given as Y, U, V) pushed into a sender at a steady rate from a thread
// of their own, as the capture thread would.
class FramePump {
public:
    FramePump(VideoSender& sender, int width, int height, std::uint8_t y, std::uint8_t u, std::uint8_t v,
              int fps = 60);
    ~FramePump();
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    void stop();
    // Sound as well: a buffer of 10 ms (1920 bytes of 16-bit stereo) with every picture.
    std::atomic<bool> withSound{false};

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace Tests
