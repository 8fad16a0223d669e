#include "link/MemoryConnection.h"

struct MemoryConnection::Link {
    MemoryConnection* ends[2] = {nullptr, nullptr};
    MemoryConnection* peerOf(int side) const { return ends[1 - side]; }
};

std::pair<std::unique_ptr<MemoryConnection>, std::unique_ptr<MemoryConnection>> MemoryConnection::makePair()
{
    std::unique_ptr<MemoryConnection> a(new MemoryConnection);
    std::unique_ptr<MemoryConnection> b(new MemoryConnection);
    auto link = std::make_shared<Link>();
    link->ends[0] = a.get();
    link->ends[1] = b.get();
    a->m_link = link;
    a->m_side = 0;
    b->m_link = link;
    b->m_side = 1;
    return {std::move(a), std::move(b)};
}

MemoryConnection::~MemoryConnection()
{
    *m_alive = false;
    if (MemoryConnection* peer = m_link->peerOf(m_side)) {
        peer->injectEndOfStream();
    }
    m_link->ends[m_side] = nullptr;
}

void MemoryConnection::start()
{
    m_started = true;
    injectState(State::ready);
}

void MemoryConnection::receive(qsizetype length, ReceiveCompletion completion)
{
    m_wanted = length;
    m_completion = std::move(completion);
    if (!m_inPump) {
        schedulePump();
    }
}

void MemoryConnection::send(QByteArray packet)
{
    if (m_cancelled) {
        return;
    }
    ++m_packetsSent;
    if (MemoryConnection* peer = m_link->peerOf(m_side)) {
        peer->injectBytes(packet);
    }
}

void MemoryConnection::cancel()
{
    if (m_cancelled) {
        return;
    }
    m_cancelled = true;
    m_completion = nullptr;
    if (MemoryConnection* peer = m_link->peerOf(m_side)) {
        peer->injectEndOfStream();
    }
    injectState(State::cancelled);
}

void MemoryConnection::injectBytes(const QByteArray& bytes)
{
    if (m_cancelled) {
        return;
    }
    if (!bytes.isEmpty()) {
        m_chunks.push_back(bytes);
        m_available += bytes.size();
    }
    schedulePump();
}

void MemoryConnection::injectEndOfStream()
{
    m_endOfStream = true;
    schedulePump();
}

void MemoryConnection::injectError(const QString& error)
{
    m_error = error;
    schedulePump();
}

void MemoryConnection::injectState(State state, const std::optional<QString>& error)
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

void MemoryConnection::schedulePump()
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

void MemoryConnection::pump()
{
    if (m_inPump || m_cancelled) {
        return;
    }
    m_inPump = true;
    std::weak_ptr<bool> alive = m_alive;
    while (m_completion && !m_cancelled) {
        Received received;
        if (m_available >= m_wanted) {
            received.data = take(m_wanted);
            received.endOfStream = m_endOfStream && m_available == 0;
        } else if (m_endOfStream || m_error) {
            received.data = take(m_available);
            received.endOfStream = m_endOfStream;
            received.error = m_error;
        } else {
            break;
        }
        auto completion = std::move(m_completion);
        m_completion = nullptr;
        completion(std::move(received));
        if (alive.expired()) {
            return;
        }
    }
    m_inPump = false;
}

QByteArray MemoryConnection::take(qsizetype length)
{
    if (length == 0) {
        return {};
    }
    m_available -= length;
    QByteArray& front = m_chunks.front();
    if (m_offset == 0 && front.size() == length) {
        // The common case: a read that is exactly the next packet, or its rest, needs no copy.
        QByteArray whole = std::move(front);
        m_chunks.pop_front();
        return whole;
    }
    QByteArray out;
    out.reserve(length);
    while (out.size() < length) {
        QByteArray& chunk = m_chunks.front();
        const qsizetype part = std::min(length - out.size(), chunk.size() - m_offset);
        out.append(chunk.constData() + m_offset, part);
        m_offset += part;
        if (m_offset == chunk.size()) {
            m_chunks.pop_front();
            m_offset = 0;
        }
    }
    return out;
}
