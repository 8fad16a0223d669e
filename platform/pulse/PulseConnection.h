#pragma once

#include <QString>

#include <functional>

struct pa_context;
struct pa_threaded_mainloop;

// A connection to the sound server on a PulseAudio thread of its own, for operations that the
// caller waits for. run() executes a step with the loop locked; a step starts operations whose
// callbacks call done() when they finish.
class PulseConnection {
public:
    explicit PulseConnection(const char* clientName);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Connects when not connected; false when there is no sound server.
    bool ensureConnected();
    pa_context* context() const { return m_context; }

    // Runs the step with the loop locked and waits (at most 5 s) until it has called finish.
    // Returns false when the time ran out or the connection failed.
    bool run(const std::function<void(std::function<void()> finish)>& step);

private:
    void disconnect();

    const char* m_clientName;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};
