#include "platform/x11/X11DisplaySleep.h"

#include <xcb/dpms.h>
#include <xcb/screensaver.h>

#include <cstdlib>

namespace {

void sync(xcb_connection_t* connection)
{
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

} // namespace

X11DisplaySleep::X11DisplaySleep(const QByteArray& display)
    : m_connection(xcb_connect(display.isEmpty() ? nullptr : display.constData(), nullptr))
{
    if (xcb_connection_has_error(m_connection)) {
        return;
    }
    const xcb_query_extension_reply_t* saver = xcb_get_extension_data(m_connection, &xcb_screensaver_id);
    m_screenSaver = saver && saver->present;
    const xcb_query_extension_reply_t* dpms = xcb_get_extension_data(m_connection, &xcb_dpms_id);
    m_dpms = dpms && dpms->present;
    if (m_screenSaver) {
        // Suspending needs version 1.1.
        std::free(xcb_screensaver_query_version_reply(
            m_connection, xcb_screensaver_query_version(m_connection, 1, 1), nullptr));
    }
}

X11DisplaySleep::~X11DisplaySleep()
{
    release();
    xcb_disconnect(m_connection);
}

void X11DisplaySleep::wake()
{
    if (xcb_connection_has_error(m_connection)) {
        return;
    }
    xcb_force_screen_saver(m_connection, XCB_SCREEN_SAVER_RESET);
    if (m_dpms) {
        xcb_dpms_force_level(m_connection, XCB_DPMS_DPMS_MODE_ON);
    }
    sync(m_connection);
}

bool X11DisplaySleep::hold()
{
    // A hold that fails holds nothing: its owner will never release it.
    if (xcb_connection_has_error(m_connection) || !m_screenSaver) {
        return false;
    }
    if (!m_held) {
        xcb_screensaver_suspend(m_connection, 1);
        sync(m_connection);
        m_held = true;
    }
    return true;
}

void X11DisplaySleep::release()
{
    if (!m_held || xcb_connection_has_error(m_connection)) {
        m_held = false;
        return;
    }
    xcb_screensaver_suspend(m_connection, 0);
    sync(m_connection);
    m_held = false;
}
