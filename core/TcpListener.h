#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <functional>
#include <memory>

// A listening TCP socket on every address (IPv6 with IPv4 mapped, or IPv4 alone where there is
// no IPv6), accepting on the main thread. Unlike QTcpServer it reports a failing accept (no
// descriptor left, no memory) as the end of the listener instead of retrying it in a busy loop.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Each accepted connection, as a connected socket descriptor the callee takes over.
    std::function<void(int descriptor)> onConnection;
    // Accepting failed for good; the listener has stopped.
    std::function<void(const QString& error)> onFailure;

    // Binds and listens on the port (0: one the system chooses). False with errorString() set.
    bool listen(quint16 port);
    void close();

    bool isListening() const { return m_fd >= 0; }
    quint16 port() const;
    const QString& errorString() const { return m_error; }

private:
    void acceptAll();

    int m_fd = -1;
    QString m_error;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
