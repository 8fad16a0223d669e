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
    dropRead();
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
    post(state, error);
}

QByteArray MemoryConnection::takeBytes(qsizetype length)
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
