#include "media/rtc/RtcStillRepeater.h"

#include <optional>

RtcStillRepeater::RtcStillRepeater(Timer timer, Clock clock)
    : m_timer(std::move(timer))
    , m_clock(std::move(clock))
{}

std::chrono::nanoseconds RtcStillRepeater::steadyNow()
{
    return std::chrono::steady_clock::now().time_since_epoch();
}

void RtcStillRepeater::offered(const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds time)
{
    std::lock_guard lock(m_mutex);
    if (picture != m_still) {
        m_lastChanged = time;
    }
    m_still = picture;
}

void RtcStillRepeater::pushed(std::chrono::nanoseconds time)
{
    std::lock_guard lock(m_mutex);
    m_lastPushed = time;
}

std::chrono::nanoseconds RtcStillRepeater::lastPushed() const
{
    std::lock_guard lock(m_mutex);
    return m_lastPushed;
}

void RtcStillRepeater::keyFrameRequested()
{
    std::shared_ptr<PixelBuffer> picture;
    std::optional<std::chrono::milliseconds> putOff;
    const auto now = m_clock();
    {
        std::lock_guard lock(m_mutex);
        if (!m_still || m_closed) {
            return;
        }
        if (m_lastPushed.count() >= 0 && now - m_lastPushed < repeatAfter) {
            if (m_repeatPending) {
                return;
            }
            m_repeatPending = true;
            putOff =
                std::chrono::duration_cast<std::chrono::milliseconds>(repeatAfter - (now - m_lastPushed)) +
                std::chrono::milliseconds(1);
        } else {
            picture = m_still;
        }
    }
    if (putOff) {
        m_timer(*putOff, [this, askedAt = now] { repeatUnlessPushedSince(askedAt); });
    } else if (repeat) {
        repeat(picture, now);
    }
}

void RtcStillRepeater::repeatUnlessPushedSince(std::chrono::nanoseconds askedAt)
{
    std::shared_ptr<PixelBuffer> picture;
    {
        std::lock_guard lock(m_mutex);
        m_repeatPending = false;
        if (!m_still || m_closed || m_lastPushed > askedAt) {
            return;
        }
        picture = m_still;
    }
    if (repeat) {
        repeat(picture, m_clock());
    }
}

void RtcStillRepeater::connected()
{
    if (requestKeyFrame) {
        requestKeyFrame();
    }
    const auto connectedAt = m_clock();
    for (const std::chrono::milliseconds delay : settleDelays) {
        m_timer(delay, [this, connectedAt] { requestIfStillSince(connectedAt); });
    }
}

void RtcStillRepeater::requestIfStillSince(std::chrono::nanoseconds time)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_still || m_closed || m_lastChanged > time) {
            return;
        }
    }
    if (requestKeyFrame) {
        requestKeyFrame();
    }
}

void RtcStillRepeater::close()
{
    std::lock_guard lock(m_mutex);
    m_closed = true;
}
