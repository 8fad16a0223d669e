#pragma once

#include "link/StreamConnection.h"

#include <QString>

class QAbstractSocket;
class QTcpSocket;

// A link connection over a QTcpSocket on the main thread: either a socket the listener accepted
// (already connected) or an outgoing connection to a host and port.
class TcpConnection final : public StreamConnection {
public:
    // Qt stops reading from the kernel once this much is buffered, so a flooding peer meets TCP's
    // own back-pressure; it holds the largest frame with room to spare.
    static constexpr qint64 readBufferLimit = 4 * 1024 * 1024;
    // A peer that stops reading makes the packets pile up here; past this much the connection
    // fails instead of the helper growing without bound (a link message is a few kB at most).
    static constexpr qint64 writeBufferLimit = 4 * 1024 * 1024;
    // How long a cancelled connection may take to hand its last packets to the peer.
    static constexpr int flushTimeoutMs = 5000;

    explicit TcpConnection(QTcpSocket* acceptedSocket);
    // A connection accepted by a listener, given as its socket descriptor.
    explicit TcpConnection(int acceptedDescriptor);
    TcpConnection(QString host, quint16 port);
    ~TcpConnection() override;

    void start() override;
    void send(QByteArray packet) override;
    void cancel() override;

    // No delay, and keep-alive probes after 5 s idle, every 2 s, 3 times.
    static void applyLinkOptions(QAbstractSocket& socket);
    qintptr socketDescriptor() const;

private:
    qsizetype bytesBuffered() const override;
    QByteArray takeBytes(qsizetype length) override;
    bool isReadable() const override { return m_connected && !m_cancelled; }
    void connectSignals();

    QTcpSocket* m_socket;
    QString m_host;
    quint16 m_port = 0;
    bool m_outgoing = false;
    bool m_connected = false;
    bool m_cancelled = false;
};
