#include "platform/pulse/PulseConnection.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <chrono>
#include <memory>

namespace {

struct Waiter {
    pa_threaded_mainloop* loop;
    bool finished = false;
    bool timedOut = false;
};

constexpr pa_usec_t timeout = 5 * PA_USEC_PER_SEC;

} // namespace

PulseConnection::PulseConnection(const char* clientName)
    : m_clientName(clientName)
    , m_loop(pa_threaded_mainloop_new())
{
    pa_threaded_mainloop_start(m_loop);
}

PulseConnection::~PulseConnection()
{
    disconnect();
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

void PulseConnection::disconnect()
{
    pa_threaded_mainloop_lock(m_loop);
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_threaded_mainloop_unlock(m_loop);
}

bool PulseConnection::ensureConnected()
{
    pa_threaded_mainloop_lock(m_loop);
    if (m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY) {
        pa_threaded_mainloop_unlock(m_loop);
        return true;
    }
    pa_threaded_mainloop_unlock(m_loop);
    disconnect();
    pa_threaded_mainloop_lock(m_loop);
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), m_clientName);
    pa_context_set_state_callback(
        m_context,
        [](pa_context*, void* loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        m_loop);
    bool ready = false;
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state) || std::chrono::steady_clock::now() > deadline) {
                break;
            }
            pa_threaded_mainloop_wait(m_loop);
        }
    }
    pa_threaded_mainloop_unlock(m_loop);
    if (!ready) {
        disconnect();
    }
    return ready;
}

bool PulseConnection::run(const std::function<void(std::function<void()>)>& step)
{
    if (!ensureConnected()) {
        return false;
    }
    auto waiter = std::make_shared<Waiter>(Waiter{m_loop});
    pa_threaded_mainloop_lock(m_loop);
    // A server that stops answering must not hang the caller.
    pa_time_event* timer = pa_context_rttime_new(
        m_context, pa_rtclock_now() + timeout,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* w = static_cast<Waiter*>(data);
            w->timedOut = true;
            pa_threaded_mainloop_signal(w->loop, 0);
        },
        waiter.get());
    step([waiter] {
        waiter->finished = true;
        pa_threaded_mainloop_signal(waiter->loop, 0);
    });
    while (!waiter->finished && !waiter->timedOut && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))) {
        pa_threaded_mainloop_wait(m_loop);
    }
    pa_threaded_mainloop_get_api(m_loop)->time_free(timer);
    const bool finished = waiter->finished;
    pa_threaded_mainloop_unlock(m_loop);
    return finished;
}
