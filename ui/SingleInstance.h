#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

// One helper per user session: the first launch listens on a socket in the runtime folder; a
// later launch asks it to bring its window back and then ends.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // The socket's path: $XDG_RUNTIME_DIR/ovu-helper.socket (the temporary folder when unset).
    explicit SingleInstance(QString path = defaultPath(), QObject* parent = nullptr);
    static QString defaultPath();

    // Tells a running helper that it was launched again; false when none answers.
    bool notifyRunning(int timeoutMs = 1000);
    // Becomes the running helper; false when the socket cannot be made.
    bool listen();
    // Another launch asked for the window.
    std::function<void()> onReopen;

private:
    const QString m_path;
    QLocalServer* m_server = nullptr;
};
