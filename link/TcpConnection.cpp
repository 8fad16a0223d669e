#include "link/TcpConnection.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

TcpConnection::TcpConnection(QTcpSocket* acceptedSocket) : m_socket(acceptedSocket), m_connected(true)
{
    // The listener may go away while its sessions live on.
    m_socket->setParent(nullptr);
    m_socket->setReadBufferSize(readBufferLimit);
    applyLinkOptions(*m_socket);
    connectSignals();
}

TcpConnection::TcpConnection(int acceptedDescriptor)
    : TcpConnection([acceptedDescriptor] {
        auto* socket = new QTcpSocket;
        socket->setSocketDescriptor(acceptedDescriptor);
        return socket;
    }())
{}

TcpConnection::TcpConnection(QString host, quint16 port)
    : m_socket(new QTcpSocket)
    , m_host(std::move(host))
    , m_port(port)
    , m_outgoing(true)
{
    m_socket->setReadBufferSize(readBufferLimit);
    // A link on the local network never goes through the system's proxy.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connectSignals();
}

TcpConnection::~TcpConnection()
{
    QObject::disconnect(m_socket, nullptr, &m_context, nullptr);
    // This may run inside one of the socket's own signals, so the socket goes with deleteLater.
    if (m_socket->state() == QAbstractSocket::ClosingState) {
        // A cancelled connection is still flushing its last packets (a "bye"): let it, for a while.
        QTcpSocket* socket = m_socket;
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(flushTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
    } else {
        m_socket->abort();
        m_socket->deleteLater();
    }
}

void TcpConnection::applyLinkOptions(QAbstractSocket& socket)
{
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = static_cast<int>(socket.socketDescriptor());
    if (fd < 0) {
        return;
    }
    const int idle = 5;
    const int interval = 2;
    const int count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

qintptr TcpConnection::socketDescriptor() const
{
    return m_socket->socketDescriptor();
}

void TcpConnection::connectSignals()
{
    QObject::connect(m_socket, &QTcpSocket::connected, &m_context, [this] {
        m_connected = true;
        applyLinkOptions(*m_socket);
        if (stateHandler) {
            stateHandler(State::ready, std::nullopt);
        }
    });
    QObject::connect(m_socket, &QTcpSocket::readyRead, &m_context, [this] { pump(); });
    QObject::connect(m_socket, &QTcpSocket::disconnected, &m_context, [this] {
        m_endOfStream = true;
        pump();
    });
    QObject::connect(m_socket, &QTcpSocket::errorOccurred, &m_context,
                     [this](QAbstractSocket::SocketError error) {
                         if (m_cancelled) {
                             return;
                         }
                         if (!m_connected) {
                             // Could not connect at all: the connection failed.
                             m_cancelled = true;
                             if (stateHandler) {
                                 stateHandler(State::failed, m_socket->errorString());
                             }
                             return;
                         }
                         if (error == QAbstractSocket::RemoteHostClosedError) {
                             m_endOfStream = true;
                         } else {
                             m_error = m_socket->errorString();
                         }
                         pump();
                     });
}

void TcpConnection::start()
{
    if (m_outgoing) {
        m_socket->connectToHost(m_host, m_port);
    } else {
        post(State::ready);
    }
}

qsizetype TcpConnection::bytesBuffered() const
{
    return m_socket->bytesAvailable();
}

QByteArray TcpConnection::takeBytes(qsizetype length)
{
    return m_socket->read(length);
}

void TcpConnection::send(QByteArray packet)
{
    if (m_cancelled || !m_connected) {
        return;
    }
    if (m_socket->bytesToWrite() + packet.size() > writeBufferLimit) {
        m_cancelled = true;
        dropRead();
        QObject::disconnect(m_socket, nullptr, &m_context, nullptr);
        m_socket->abort();
        post(State::failed, QStringLiteral("the peer stopped reading"));
        return;
    }
    m_socket->write(packet);
}

void TcpConnection::cancel()
{
    if (m_cancelled) {
        return;
    }
    m_cancelled = true;
    dropRead();
    QObject::disconnect(m_socket, nullptr, &m_context, nullptr);
    // Like closing a socket: what was sent before still leaves, then the stream ends.
    m_socket->disconnectFromHost();
    post(State::cancelled);
}
