#include "tests/support/X11User.h"

#include <QThread>

#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* value)
{
    return Reply<T>(value, &std::free);
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    auto answer = reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(strlen(name)), name), nullptr));
    return answer ? answer->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace

X11User::X11User(const QByteArray& display) : m_connection(xcb_connect(display.constData(), nullptr))
{
    if (isConnected()) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
}

X11User::~X11User()
{
    xcb_disconnect(m_connection);
}

bool X11User::isConnected() const
{
    return m_connection && xcb_connection_has_error(m_connection) == 0;
}

QString X11User::title(xcb_window_t window)
{
    static const xcb_atom_t netName = atom(m_connection, "_NET_WM_NAME");
    static const xcb_atom_t utf8 = atom(m_connection, "UTF8_STRING");
    for (const auto& [property, type] :
         {std::pair{netName, utf8}, std::pair{xcb_atom_t(XCB_ATOM_WM_NAME), xcb_atom_t(XCB_ATOM_STRING)}}) {
        auto value = reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, window, property, type, 0, 256), nullptr));
        if (value && xcb_get_property_value_length(value.get()) > 0) {
            return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(value.get())),
                                     xcb_get_property_value_length(value.get()));
        }
    }
    return {};
}

bool X11User::isMapped(xcb_window_t window)
{
    auto attributes = reply(xcb_get_window_attributes_reply(
        m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::optional<xcb_window_t> X11User::waitForWindow(const QString& wanted, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (isConnected()) {
        auto tree = reply(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                if (isMapped(children[i]) && title(children[i]) == wanted) {
                    return children[i];
                }
            }
        }
        if (std::chrono::steady_clock::now() > end) {
            break;
        }
        QThread::msleep(50);
    }
    return std::nullopt;
}

QRect X11User::geometry(xcb_window_t window)
{
    auto where = reply(xcb_translate_coordinates_reply(
        m_connection, xcb_translate_coordinates(m_connection, window, m_root, 0, 0), nullptr));
    auto size = reply(xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
    if (!where || !size) {
        return {};
    }
    return {where->dst_x, where->dst_y, size->width, size->height};
}

void X11User::focus(xcb_window_t window)
{
    xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

void X11User::pressKey(std::uint32_t keysym)
{
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const std::uint8_t first = setup->min_keycode;
    const std::uint8_t count = setup->max_keycode - setup->min_keycode + 1;
    auto mapping = reply(xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, first, count), nullptr));
    if (!mapping) {
        return;
    }
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perKeycode = mapping->keysyms_per_keycode;
    for (int index = 0; index < count * perKeycode; ++index) {
        if (symbols[index] == keysym) {
            const auto keycode = static_cast<std::uint8_t>(first + index / perKeycode);
            xcb_test_fake_input(m_connection, XCB_KEY_PRESS, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            xcb_test_fake_input(m_connection, XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
            return;
        }
    }
}

void X11User::click(const QPoint& at, int button)
{
    xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root,
                        static_cast<std::int16_t>(at.x()), static_cast<std::int16_t>(at.y()), 0);
    const auto detail = static_cast<std::uint8_t>(button);
    xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

QImage X11User::grab(const QRect& rect)
{
    auto image = reply(xcb_get_image_reply(
        m_connection,
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, static_cast<std::int16_t>(rect.x()),
                      static_cast<std::int16_t>(rect.y()), static_cast<std::uint16_t>(rect.width()),
                      static_cast<std::uint16_t>(rect.height()), ~0U),
        nullptr));
    if (!image || image->depth != 24) {
        return {};
    }
    const QImage view(xcb_get_image_data(image.get()), rect.width(), rect.height(), rect.width() * 4,
                      QImage::Format_RGB32);
    return view.copy();
}
