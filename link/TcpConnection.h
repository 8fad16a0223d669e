#pragma once

#include "link/Connection.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QAbstractSocket;
class QTcpSocket;

// A link connection over a QTcpSocket on the main thread: either a socket the listener accepted
// (already connected) or an outgoing connection to a host and port.
class TcpConnection final : public Connection {
public:
    // Qt stops reading from the kernel once this much is buffered, so a flooding peer meets TCP's
    // own back-pressure; it holds the largest frame with room to spare.
    static constexpr qint64 readBufferLimit = 4 * 1024 * 1024;
    // How long a cancelled connection may take to hand its last packets to the peer.
    static constexpr int flushTimeoutMs = 5000;

    explicit TcpConnection(QTcpSocket* acceptedSocket);
    // A connection accepted by a listener, given as its socket descriptor.
    explicit TcpConnection(int acceptedDescriptor);
    TcpConnection(QString host, quint16 port);
    ~TcpConnection() override;

    void start() override;
    void receive(qsizetype length, ReceiveCompletion completion) override;
    void send(QByteArray packet) override;
    void cancel() override;

    // No delay, and keep-alive probes after 5 s idle, every 2 s, 3 times.
    static void applyLinkOptions(QAbstractSocket& socket);
    qintptr socketDescriptor() const;

private:
    void connectSignals();
    void pump();
    void schedulePump();
    void post(State state, std::optional<QString> error = std::nullopt);

    // Owns the lambdas connected to the socket and the queued calls; it dies with this object,
    // and Qt drops whatever was still pending for it.
    QObject m_context;
    QTcpSocket* m_socket;
    QString m_host;
    quint16 m_port = 0;
    bool m_outgoing = false;
    bool m_connected = false;
    bool m_cancelled = false;
    bool m_endOfStream = false;
    std::optional<QString> m_error;
    qsizetype m_wanted = 0;
    ReceiveCompletion m_completion;
    bool m_inPump = false;
    bool m_pumpScheduled = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
