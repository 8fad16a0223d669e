#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Hands work from any thread to the thread that made the queue (the main thread). The work
// travels through a queue of our own under a std::mutex, so ThreadSanitizer sees the hand-over;
// Qt's event only says "drain". Once the queue is gone, posting does nothing: a Poster may
// outlive it.
class MainThreadQueue {
public:
    class Poster {
    public:
        void post(std::function<void()> work);

    private:
        friend class MainThreadQueue;
        struct State;
        explicit Poster(std::shared_ptr<State> state);
        std::shared_ptr<State> m_state;
    };

    MainThreadQueue();
    ~MainThreadQueue();
    MainThreadQueue(const MainThreadQueue&) = delete;
    MainThreadQueue& operator=(const MainThreadQueue&) = delete;

    void post(std::function<void()> work) { m_poster.post(std::move(work)); }
    // A handle for other threads.
    const Poster& poster() const { return m_poster; }

private:
    class Receiver;
    Poster m_poster;
    std::unique_ptr<Receiver> m_receiver;
};
