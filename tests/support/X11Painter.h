#pragma once

#include <QByteArray>
#include <QRect>

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>

// Draws on an X display's root window from the test, as a desktop program would; each call
// returns once the server has done it.
class X11Painter {
public:
    explicit X11Painter(const QByteArray& display);

    bool isConnected() const { return xcb_connection_has_error(m_connection.get()) == 0; }
    // Fills the rectangle with a colour given as 0xRRGGBB.
    void fill(const QRect& rect, std::uint32_t rgb);
    void movePointer(int x, int y);
    // Sets the root window's resources (as xrdb does), e.g. "Xft.dpi:\t144\n".
    void setResources(const QByteArray& resources);

private:
    void sync();

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> m_connection;
    xcb_window_t m_root = 0;
};
