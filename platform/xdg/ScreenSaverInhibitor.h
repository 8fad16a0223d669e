#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

// Asks the desktop's screen saver service (org.freedesktop.ScreenSaver on the session bus) not
// to blank the screen, and withdraws the request. The calls never block: the cookie arrives
// when the service answers, and a withdrawal made before that is sent as soon as it does.
class ScreenSaverInhibitor : public QObject {
    Q_OBJECT

public:
    explicit ScreenSaverInhibitor(QDBusConnection bus = QDBusConnection::sessionBus());

    // Nothing happens when no bus or no such service is there.
    void inhibit(const QString& application, const QString& reason);
    void uninhibit();

    // The service's cookie while the request stands.
    std::optional<std::uint32_t> cookie() const { return m_cookie; }

private:
    void sendUninhibit(std::uint32_t cookie);

    QDBusConnection m_bus;
    std::optional<std::uint32_t> m_cookie;
    bool m_pending = false;
    bool m_wanted = false;
};
