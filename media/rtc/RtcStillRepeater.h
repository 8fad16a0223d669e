#pragma once

#include "media/PixelBuffer.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

// Encodes the last picture of a still screen again when a viewer needs it. A still screen sends
// no more pictures, so a key frame asked for (a new connection, a lost picture) would otherwise
// wait for the screen to change:
// - a key-frame request repeats the still picture at once when no picture was pushed lately;
// - right after a push (which may have gone out before the request, or before the viewer could
//   receive it) the repeat is put off until the interval has passed, made once, and only when
//   no picture was pushed after the request (a moving screen carries the key frame by itself);
// - once the whole connection is up, a key frame is asked for at once and again at each settle
//   delay unless a new picture came meanwhile: the viewer's end may install its keys a moment
//   after this one and drop what came before.
// Thread-safe; the callbacks are called without its lock held.
class RtcStillRepeater {
public:
    static constexpr std::chrono::milliseconds repeatAfter{100};
    static constexpr std::array settleDelays{std::chrono::milliseconds(500), std::chrono::milliseconds(1500)};

    // Monotonic time.
    using Clock = std::function<std::chrono::nanoseconds()>;
    // Runs the work after the delay, and only while this repeater exists.
    using Timer = std::function<void(std::chrono::milliseconds delay, std::function<void()> work)>;

    explicit RtcStillRepeater(Timer timer, Clock clock = steadyNow);

    // Pushes the picture to the encoder again, at the time given.
    std::function<void(const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time)> repeat;
    // Asks the encoder for a key frame (which comes back as keyFrameRequested).
    std::function<void()> requestKeyFrame;

    // A picture offered to the encoder: a new one, or the still one again.
    void offered(const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time);
    // A picture went into the encoder at this time.
    void pushed(std::chrono::nanoseconds time);
    // When the latest picture went into the encoder; negative before the first.
    std::chrono::nanoseconds lastPushed() const;

    // The encoder was asked for a key frame.
    void keyFrameRequested();
    // The whole connection (DTLS too) is up.
    void connected();
    // No more repeats.
    void close();

    static std::chrono::nanoseconds steadyNow();

private:
    void repeatUnlessPushedSince(std::chrono::nanoseconds askedAt);
    void requestIfStillSince(std::chrono::nanoseconds time);

    const Timer m_timer;
    const Clock m_clock;
    mutable std::mutex m_mutex;
    std::shared_ptr<PixelBuffer> m_still;
    // When the latest new picture (not a repeat of the still one) was offered.
    std::chrono::nanoseconds m_lastChanged{-1};
    std::chrono::nanoseconds m_lastPushed{-1};
    bool m_repeatPending = false;
    bool m_closed = false;
};
