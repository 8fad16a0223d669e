#include "tests/support/X11User.h"

#include "platform/x11/XcbReply.h"

#include <QThread>

#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>

X11User::X11User(const QByteArray& display) : m_connection(xcb_connect(display.constData(), nullptr))
{
    if (xcb_connection_has_error(m_connection) == 0) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
}

std::optional<QRect> X11User::waitForWindow(const QString& title, std::chrono::milliseconds timeout)
{
    const auto name = xcbReply(
        xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, 0, 12, "_NET_WM_NAME"), nullptr));
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (name && std::chrono::steady_clock::now() < end) {
        auto tree =
            xcbReply(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
        for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t window = xcb_query_tree_children(tree.get())[i];
            auto text = xcbReply(xcb_get_property_reply(
                m_connection,
                xcb_get_property(m_connection, 0, window, name->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
                nullptr));
            auto state = xcbReply(xcb_get_window_attributes_reply(
                m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
            auto place = xcbReply(
                xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
            if (text && state && place && state->map_state == XCB_MAP_STATE_VIEWABLE &&
                QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(text.get())),
                                  xcb_get_property_value_length(text.get())) == title) {
                return QRect(place->x, place->y, place->width, place->height);
            }
        }
        QThread::msleep(50);
    }
    return std::nullopt;
}

void X11User::click(const QPoint& at)
{
    xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root,
                        static_cast<std::int16_t>(at.x()), static_cast<std::int16_t>(at.y()), 0);
    for (const std::uint8_t type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}) {
        xcb_test_fake_input(m_connection, type, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    // A round trip: the server has had the clicks when it answers.
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}
