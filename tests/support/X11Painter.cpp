#include "tests/support/X11Painter.h"

#include <cstdlib>

X11Painter::X11Painter(const QByteArray& display)
    : m_connection(xcb_connect(display.constData(), nullptr), &xcb_disconnect)
{
    if (isConnected()) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection.get())).data->root;
    }
}

void X11Painter::sync()
{
    std::free(
        xcb_get_input_focus_reply(m_connection.get(), xcb_get_input_focus(m_connection.get()), nullptr));
}

void X11Painter::fill(const QRect& rect, std::uint32_t rgb)
{
    // The root window's background, painted over the rectangle.
    xcb_change_window_attributes(m_connection.get(), m_root, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(m_connection.get(), 0, m_root, std::int16_t(rect.x()), std::int16_t(rect.y()),
                   std::uint16_t(rect.width()), std::uint16_t(rect.height()));
    sync();
}

void X11Painter::movePointer(int x, int y)
{
    xcb_warp_pointer(m_connection.get(), XCB_NONE, m_root, 0, 0, 0, 0, std::int16_t(x), std::int16_t(y));
    sync();
}

void X11Painter::setResources(const QByteArray& resources)
{
    xcb_change_property(m_connection.get(), XCB_PROP_MODE_REPLACE, m_root, XCB_ATOM_RESOURCE_MANAGER,
                        XCB_ATOM_STRING, 8, std::uint32_t(resources.size()), resources.constData());
    sync();
}
