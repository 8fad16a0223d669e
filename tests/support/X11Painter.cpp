#include "tests/support/X11Painter.h"

#include <cstdlib>

X11Painter::X11Painter(const QByteArray& display) : m_connection(xcb_connect(display.constData(), nullptr))
{
    if (!isConnected()) {
        return;
    }
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    m_gc = xcb_generate_id(m_connection);
    xcb_create_gc(m_connection, m_gc, m_root, 0, nullptr);
}

X11Painter::~X11Painter()
{
    xcb_disconnect(m_connection);
}

bool X11Painter::isConnected() const
{
    return xcb_connection_has_error(m_connection) == 0;
}

void X11Painter::sync()
{
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

void X11Painter::fill(const QRect& rect, std::uint32_t rgb)
{
    const std::uint32_t values[] = {rgb};
    xcb_change_gc(m_connection, m_gc, XCB_GC_FOREGROUND, values);
    const xcb_rectangle_t area{static_cast<std::int16_t>(rect.x()), static_cast<std::int16_t>(rect.y()),
                               static_cast<std::uint16_t>(rect.width()),
                               static_cast<std::uint16_t>(rect.height())};
    xcb_poly_fill_rectangle(m_connection, m_root, m_gc, 1, &area);
    sync();
}

void X11Painter::movePointer(int x, int y)
{
    xcb_warp_pointer(m_connection, XCB_NONE, m_root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                     static_cast<std::int16_t>(y));
    sync();
}

void X11Painter::setResources(const QByteArray& resources)
{
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, XCB_ATOM_RESOURCE_MANAGER,
                        XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(resources.size()),
                        resources.constData());
    sync();
}
