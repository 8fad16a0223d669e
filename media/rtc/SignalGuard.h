#pragma once

#include <glib-object.h>

#include <functional>
#include <memory>
#include <mutex>

// A callback that GLib signals on other threads may call, and that its owner can replace or
// switch off: once set() has returned, no call of the old function is running or will start. The state is
// shared with the signal closures, so it lives until GLib has let go of them too.
template <typename... Args>
class SignalGuard {
public:
    using Function = std::function<void(Args...)>;

    SignalGuard() = default;
    ~SignalGuard() { set(nullptr); }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    // Replaces the function; waits for a call of the old one that is running.
    void set(Function function)
    {
        std::lock_guard lock(m_state->mutex);
        m_state->function = std::move(function);
    }

    // Calls the function unless it was switched off.
    static void invoke(gpointer data, Args... args)
    {
        auto* state = static_cast<std::shared_ptr<State>*>(data);
        std::lock_guard lock((*state)->mutex);
        if ((*state)->function) {
            (*state)->function(args...);
        }
    }

    // Data for g_signal_connect_data, with its destroy notify.
    gpointer closureData() const { return new std::shared_ptr<State>(m_state); }
    static void destroyClosureData(gpointer data, GClosure*)
    {
        delete static_cast<std::shared_ptr<State>*>(data);
    }

private:
    struct State {
        std::mutex mutex;
        Function function;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};
