#include "ui/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {
constexpr char reopen[] = "reopen\n";
}

SingleInstance::SingleInstance(QString path, QObject* parent) : QObject(parent), m_path(std::move(path))
{}

QString SingleInstance::defaultPath()
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    return folder + u"/ovu-helper.socket"_s;
}

bool SingleInstance::notifyRunning(int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(reopen);
    const bool sent = socket.waitForBytesWritten(timeoutMs);
    // The running helper closes once it has read the request.
    socket.waitForDisconnected(timeoutMs);
    return sent;
}

bool SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        // Nobody answered on it (notifyRunning came first), so it is a leftover of a helper that
        // was killed.
        QLocalServer::removeServer(m_path);
        if (!m_server->listen(m_path)) {
            return false;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > 64) {
                        socket->abort();
                    }
                    return;
                }
                const bool asked = socket->readLine(64) == reopen;
                socket->disconnectFromServer();
                if (asked && onReopen) {
                    onReopen();
                }
            });
        }
    });
    return true;
}
