#pragma once

#include <QByteArray>
#include <QRect>

#include <xcb/xcb.h>

#include <cstdint>

// Draws on an X display's root window from the test, as a desktop program would.
class X11Painter {
public:
    explicit X11Painter(const QByteArray& display);
    ~X11Painter();
    X11Painter(const X11Painter&) = delete;
    X11Painter& operator=(const X11Painter&) = delete;

    bool isConnected() const;
    // Fills the rectangle with a colour given as 0xRRGGBB; waits until the server has done it.
    void fill(const QRect& rect, std::uint32_t rgb);
    void movePointer(int x, int y);
    // Sets the root window's resources (as xrdb does), e.g. "Xft.dpi:\t144\n".
    void setResources(const QByteArray& resources);
    void sync();

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    std::uint32_t m_gc = 0;
};
