#include "link/StreamConnection.h"

void StreamConnection::receive(qsizetype length, ReceiveCompletion completion)
{
    m_wanted = length;
    m_completion = std::move(completion);
    if (!m_inPump) {
        schedulePump();
    }
}

void StreamConnection::schedulePump()
{
    if (m_pumpScheduled || m_inPump) {
        return;
    }
    m_pumpScheduled = true;
    QMetaObject::invokeMethod(
        &m_context,
        [this] {
            m_pumpScheduled = false;
            pump();
        },
        Qt::QueuedConnection);
}

void StreamConnection::post(State state, std::optional<QString> error)
{
    QMetaObject::invokeMethod(
        &m_context,
        [this, state, error] {
            if (stateHandler) {
                stateHandler(state, error);
            }
        },
        Qt::QueuedConnection);
}

void StreamConnection::pump()
{
    if (m_inPump) {
        return;
    }
    m_inPump = true;
    std::weak_ptr<bool> alive = m_alive;
    while (m_completion && isReadable()) {
        Received received;
        if (bytesBuffered() >= m_wanted) {
            received.data = takeBytes(m_wanted);
            received.endOfStream = m_endOfStream && bytesBuffered() == 0;
        } else if (m_endOfStream || m_error) {
            received.data = takeBytes(bytesBuffered());
            received.endOfStream = m_endOfStream;
            received.error = m_error;
        } else {
            break;
        }
        auto completion = std::move(m_completion);
        m_completion = nullptr;
        completion(std::move(received));
        if (alive.expired()) {
            return; // the completion released this connection
        }
    }
    m_inPump = false;
}
