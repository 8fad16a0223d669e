#pragma once

#include <QByteArray>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <optional>

// Someone at an X display: finds windows by title, gives one the keyboard focus (as a window
// manager would), presses keys and clicks through XTest, and looks at the screen.
class X11User {
public:
    explicit X11User(const QByteArray& display);
    ~X11User();
    X11User(const X11User&) = delete;
    X11User& operator=(const X11User&) = delete;

    bool isConnected() const;
    // A mapped top-level window with this title, waiting for one as long as the timeout allows.
    std::optional<xcb_window_t> waitForWindow(const QString& title, std::chrono::milliseconds timeout);
    bool isMapped(xcb_window_t window);
    // The window's rectangle on the root window.
    QRect geometry(xcb_window_t window);
    void focus(xcb_window_t window);
    void pressKey(std::uint32_t keysym);
    void click(const QPoint& at, int button = 1);
    // What the screen shows in the rectangle.
    QImage grab(const QRect& rect);

private:
    QString title(xcb_window_t window);
    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
};
