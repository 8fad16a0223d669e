#include "tests/support/X11Observer.h"

#include "platform/x11/XcbReply.h"

#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <sys/socket.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>

X11Observer::X11Observer(const QByteArray& display)
    : m_connection(xcb_connect(display.constData(), nullptr))
    , m_keymap(display)
{
    if (!isConnected()) {
        return;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    m_root = screen->root;
    m_window = xcb_generate_id(m_connection);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS |
                                           XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION};
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(m_connection, m_window);
    xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, m_window, XCB_CURRENT_TIME);
    // As toolkits do: XKB on this connection, so that key events carry their layout group, and
    // its notifications of keymap changes (a client that uses XKB no longer hears of all of them
    // as core MappingNotify events).
    if (xkb_x11_setup_xkb_extension(m_connection, 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr,
                                    nullptr, &m_xkbEvent, nullptr)) {
        const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        xcb_xkb_select_events(m_connection, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, 0xFF, 0xFF, nullptr);
    }
    m_receiver = std::thread([this] { receive(); });
    sync();
}

X11Observer::~X11Observer()
{
    // The connection ended under the receiving thread ends it.
    ::shutdown(xcb_get_file_descriptor(m_connection), SHUT_RDWR);
    if (m_receiver.joinable()) {
        m_receiver.join();
    }
    xcb_disconnect(m_connection);
}

void X11Observer::sync()
{
    std::unique_lock lock(m_mutex);
    // A message of our own goes through the server, behind every event it sent us before.
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = m_window;
    message.data.data32[0] = ++m_syncsSent;
    xcb_send_event(m_connection, 0, m_window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(m_connection);
    m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_syncsSeen >= m_syncsSent; });
}

void X11Observer::receive()
{
    while (xcb_generic_event_t* generic = xcb_wait_for_event(m_connection)) {
        const XcbReply<xcb_generic_event_t> owned(generic);
        const std::uint8_t type = generic->response_type & 0x7F;
        // Key, button and motion events share their layout.
        const auto* input = reinterpret_cast<const xcb_key_press_event_t*>(generic);
        std::lock_guard lock(m_mutex);
        if (type == XCB_MAPPING_NOTIFY || (m_xkbEvent != 0 && type == m_xkbEvent)) {
            m_keymap.reload();
        } else if (type == XCB_CLIENT_MESSAGE) {
            m_syncsSeen = reinterpret_cast<const xcb_client_message_event_t*>(generic)->data.data32[0];
        } else if (type >= XCB_KEY_PRESS && type <= XCB_MOTION_NOTIFY) {
            const X11Keymap::Translation key = type == XCB_KEY_PRESS
                                                   ? m_keymap.translate(input->detail, input->state)
                                                   : X11Keymap::Translation{};
            m_events.push_back({type, input->root_x, input->root_y, input->detail, key.keysym, key.character,
                                std::chrono::steady_clock::now()});
        }
        m_changed.notify_all();
    }
}

std::optional<X11Observer::Event> X11Observer::waitFor(const std::function<bool(const Event&)>& matches,
                                                       std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    const auto found = [&] { return std::find_if(m_events.begin(), m_events.end(), matches); };
    return m_changed.wait_for(lock, timeout, [&] { return found() != m_events.end(); })
               ? std::optional(*found())
               : std::nullopt;
}

std::vector<X11Observer::Event> X11Observer::take()
{
    sync();
    std::lock_guard lock(m_mutex);
    return std::exchange(m_events, {});
}

QPoint X11Observer::pointer()
{
    const XcbReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    return reply ? QPoint(reply->root_x, reply->root_y) : QPoint(-1, -1);
}

int X11Observer::held()
{
    const XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    const XcbReply<xcb_query_keymap_reply_t> keys(
        xcb_query_keymap_reply(m_connection, xcb_query_keymap(m_connection), nullptr));
    int count =
        std::popcount(unsigned(pointer->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3)));
    for (const std::uint8_t bits : keys->keys) {
        count += std::popcount(bits);
    }
    return count;
}

std::vector<std::uint32_t> X11Observer::keyboardMapping()
{
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        m_connection,
        xcb_get_keyboard_mapping(m_connection, setup->min_keycode,
                                 static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    return {keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get())};
}
