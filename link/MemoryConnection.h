#pragma once

#include "link/StreamConnection.h"

#include <deque>
#include <memory>
#include <utility>

// One end of an in-memory connection pair, for tests and benchmarks: what one end sends, the
// other receives, with every completion and state change delivered through the event loop as a
// socket would. The test-only controls inject transport events that a socket would produce.
class MemoryConnection final : public StreamConnection {
public:
    static std::pair<std::unique_ptr<MemoryConnection>, std::unique_ptr<MemoryConnection>> makePair();
    ~MemoryConnection() override;

    void start() override;
    void send(QByteArray packet) override;
    void cancel() override;

    // Packets handed to send() while the connection was usable.
    int packetsSent() const { return m_packetsSent; }
    bool isCancelled() const { return m_cancelled; }
    bool isStarted() const { return m_started; }

    // Transport events as a socket would report them.
    void injectBytes(const QByteArray& bytes);
    void injectEndOfStream();
    void injectError(const QString& error);
    void injectState(State state, const std::optional<QString>& error = std::nullopt);

private:
    struct Link;
    MemoryConnection() = default;
    qsizetype bytesBuffered() const override { return m_available; }
    QByteArray takeBytes(qsizetype length) override;
    bool isReadable() const override { return !m_cancelled; }

    std::shared_ptr<Link> m_link;
    int m_side = 0;
    // What arrived and is not read yet: whole packets, the first one read from m_offset on.
    std::deque<QByteArray> m_chunks;
    qsizetype m_offset = 0;
    qsizetype m_available = 0;
    bool m_started = false;
    bool m_cancelled = false;
    int m_packetsSent = 0;
};
