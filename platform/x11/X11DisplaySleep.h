#pragma once

#include "core/DisplaySleep.h"

#include <QByteArray>

#include <xcb/xcb.h>

#include <memory>

// The X server's screen saver and DPMS: waking resets the idle timer and turns a monitor that
// DPMS switched off back on; holding suspends the screen saver (and with it DPMS) for as long as
// this client asks, which the server also ends when the client goes away.
class X11DisplaySleep : public DisplaySleep {
public:
    // An empty name means $DISPLAY.
    explicit X11DisplaySleep(const QByteArray& display = {});
    ~X11DisplaySleep() override;
    X11DisplaySleep(const X11DisplaySleep&) = delete;
    X11DisplaySleep& operator=(const X11DisplaySleep&) = delete;

    void wake() override;
    bool hold() override;
    void release() override;

private:
    xcb_connection_t* m_connection = nullptr;
    bool m_screenSaver = false;
    bool m_dpms = false;
    bool m_held = false;
};
