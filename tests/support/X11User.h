#pragma once

#include <QByteArray>
#include <QRect>
#include <QString>

#include <xcb/xcb.h>

#include <chrono>
#include <optional>

// Someone at an X display: finds a window by its title and clicks through XTest.
class X11User {
public:
    explicit X11User(const QByteArray& display);
    ~X11User() { xcb_disconnect(m_connection); }
    Q_DISABLE_COPY(X11User)

    // Where a mapped top-level window with this title is, waiting for one as long as the timeout
    // allows.
    std::optional<QRect> waitForWindow(const QString& title, std::chrono::milliseconds timeout);
    void click(const QPoint& at);

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
};
