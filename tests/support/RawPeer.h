#pragma once

#include "link/MemoryConnection.h"

#include <QByteArray>
#include <QList>

#include <memory>

// The far end of an in-memory connection, speaking raw bytes: what it sends arrives as is, and
// every frame the near end sends is collected whole.
class RawPeer {
public:
    explicit RawPeer(std::unique_ptr<MemoryConnection> connection);

    void send(const QByteArray& bytes) { m_connection->send(bytes); }
    // Frames received so far, each without its length prefix (flag and body).
    const QList<QByteArray>& frames() const { return m_frames; }
    bool endOfStream() const { return m_endOfStream; }
    MemoryConnection& connection() { return *m_connection; }

private:
    void readHeader();

    std::unique_ptr<MemoryConnection> m_connection;
    QList<QByteArray> m_frames;
    bool m_endOfStream = false;
};
