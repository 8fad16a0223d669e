#pragma once

#include "core/DisplaySleep.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

// The desktop's screen saver service (org.freedesktop.ScreenSaver on the session bus), which may
// blank the screen on its own: holding asks it not to (Inhibit), releasing withdraws the request,
// waking tells it of user activity. The calls never block: the cookie arrives when the service
// answers, and a withdrawal made before that is sent as soon as it does.
class ScreenSaverInhibitor : public QObject, public DisplaySleep {
    Q_OBJECT

public:
    explicit ScreenSaverInhibitor(QDBusConnection bus = QDBusConnection::sessionBus());

    void wake() override;
    // False, holding nothing, when no bus or no such service is there.
    bool hold() override;
    void release() override;

    // The service's cookie while the request stands.
    std::optional<std::uint32_t> cookie() const { return m_cookie; }

private:
    bool serviceIsThere() const;
    void sendUninhibit(std::uint32_t cookie);

    QDBusConnection m_bus;
    std::optional<std::uint32_t> m_cookie;
    bool m_pending = false;
    bool m_wanted = false;
};
