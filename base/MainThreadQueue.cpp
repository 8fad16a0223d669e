#include "base/MainThreadQueue.h"

#include "base/MainThreadQueueReceiver.h"

struct MainThreadQueue::Poster::State {
    std::mutex mutex;
    std::deque<std::function<void()>> work;
    QObject* receiver = nullptr;
    bool scheduled = false;
};

MainThreadQueue::Poster::Poster(std::shared_ptr<State> state) : m_state(std::move(state))
{}

void MainThreadQueue::Poster::post(std::function<void()> work)
{
    std::lock_guard lock(m_state->mutex);
    if (!m_state->receiver) {
        return;
    }
    m_state->work.push_back(std::move(work));
    if (!m_state->scheduled) {
        m_state->scheduled = true;
        QMetaObject::invokeMethod(m_state->receiver, "drain", Qt::QueuedConnection);
    }
}

MainThreadQueue::MainThreadQueue()
    : m_poster(std::make_shared<Poster::State>())
    , m_receiver(std::make_unique<Receiver>([state = m_poster.m_state] {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(state->mutex);
            work.swap(state->work);
            state->scheduled = false;
        }
        for (auto& item : work) {
            // A piece of work may end the queue's owner; what follows it is then dropped.
            {
                std::lock_guard lock(state->mutex);
                if (!state->receiver) {
                    return;
                }
            }
            item();
        }
    }))
{
    m_poster.m_state->receiver = m_receiver.get();
}

MainThreadQueue::~MainThreadQueue()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_poster.m_state->mutex);
        m_poster.m_state->receiver = nullptr;
        dropped.swap(m_poster.m_state->work);
    }
    // This may run inside the receiver's own drain.
    m_receiver.release()->deleteLater();
}
