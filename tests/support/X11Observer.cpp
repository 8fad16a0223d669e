#include "tests/support/X11Observer.h"

#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

} // namespace

X11Observer::X11Observer(const QByteArray& display) : m_connection(xcb_connect(display.constData(), nullptr))
{
    if (xcb_connection_has_error(m_connection)) {
        return;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    m_root = screen->root;
    m_window = xcb_generate_id(m_connection);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                           XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                           XCB_EVENT_MASK_POINTER_MOTION};
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(m_connection, m_window);
    xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, m_window, XCB_CURRENT_TIME);
    const char name[] = "OVU_TEST_OBSERVER_SYNC";
    const Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, sizeof name - 1, name), nullptr));
    m_syncAtom = atom ? atom->atom : 0;
    m_keymap = std::make_unique<X11Keymap>(display);
    // As toolkits do: XKB on this connection, so that key events carry their layout group, and
    // its notifications of keymap changes (a client that uses XKB no longer hears of all of them
    // as core MappingNotify events).
    if (xkb_x11_setup_xkb_extension(m_connection, 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr,
                                    nullptr, &m_xkbEvent, nullptr)) {
        const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        const std::uint16_t parts = 0xFF;
        xcb_xkb_select_events(m_connection, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, parts, parts,
                              nullptr);
    }
    readMapping();
    m_receiver = std::thread([this] { receive(); });
    sync();
}

X11Observer::~X11Observer()
{
    if (m_receiver.joinable()) {
        // A last message of our own wakes the thread, which then ends.
        send(0xFFFFFFFF);
        m_receiver.join();
    }
    xcb_disconnect(m_connection);
}

void X11Observer::sync()
{
    if (!isConnected()) {
        return;
    }
    std::uint32_t number = 0;
    {
        std::lock_guard lock(m_mutex);
        number = ++m_syncsSent;
    }
    // The message goes through the server, behind every event it sent us before.
    send(number);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard guard(m_mutex);
            if (m_syncsSeen >= number) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void X11Observer::send(std::uint32_t number)
{
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = m_window;
    message.type = m_syncAtom;
    message.data.data32[0] = number;
    xcb_send_event(m_connection, 0, m_window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(m_connection);
}

bool X11Observer::isConnected() const
{
    return xcb_connection_has_error(m_connection) == 0;
}

void X11Observer::receive()
{
    while (xcb_generic_event_t* generic = xcb_wait_for_event(m_connection)) {
        const Reply<xcb_generic_event_t> owned(generic);
        const std::uint8_t type = generic->response_type & 0x7F;
        const auto arrived = std::chrono::steady_clock::now();
        std::lock_guard lock(m_mutex);
        if (type == XCB_MAPPING_NOTIFY || (m_xkbEvent != 0 && type == m_xkbEvent)) {
            readMapping();
            m_keymap->reload();
        }
        switch (type) {
        case XCB_CLIENT_MESSAGE: {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(generic);
            if (message->data.data32[0] == 0xFFFFFFFF) {
                return;
            }
            m_syncsSeen = message->data.data32[0];
            break;
        }
        case XCB_MOTION_NOTIFY: {
            const auto* motion = reinterpret_cast<const xcb_motion_notify_event_t*>(generic);
            m_events.push_back({Event::Kind::Motion, motion->root_x, motion->root_y, 0, 0, 0, arrived});
            break;
        }
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE: {
            const auto* button = reinterpret_cast<const xcb_button_press_event_t*>(generic);
            m_events.push_back(
                {type == XCB_BUTTON_PRESS ? Event::Kind::ButtonPress : Event::Kind::ButtonRelease,
                 button->root_x, button->root_y, button->detail, 0, 0, arrived});
            break;
        }
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE: {
            const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(generic);
            const X11Keymap::Translation translation = m_keymap->translate(key->detail, key->state);
            m_events.push_back({type == XCB_KEY_PRESS ? Event::Kind::KeyPress : Event::Kind::KeyRelease,
                                key->root_x, key->root_y, key->detail, translation.keysym,
                                translation.character, arrived});
            break;
        }
        default:
            break;
        }
    }
}

std::optional<X11Observer::Event> X11Observer::waitFor(const std::function<bool(const Event&)>& matches,
                                                       std::chrono::milliseconds timeout)
{
    // Polls: the arrival time is stamped by the receiving thread, so the wait adds nothing to it.
    const auto until = std::chrono::steady_clock::now() + timeout;
    std::size_t scanned = 0;
    do {
        {
            std::lock_guard lock(m_mutex);
            for (; scanned < m_events.size(); ++scanned) {
                if (matches(m_events[scanned])) {
                    return m_events[scanned];
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    } while (std::chrono::steady_clock::now() < until);
    return std::nullopt;
}

std::vector<X11Observer::Event> X11Observer::take()
{
    sync();
    std::lock_guard lock(m_mutex);
    std::vector<Event> taken;
    taken.swap(m_events);
    return taken;
}

QPoint X11Observer::pointer()
{
    const Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    return reply ? QPoint(reply->root_x, reply->root_y) : QPoint(-1, -1);
}

std::uint16_t X11Observer::pointerButtons()
{
    const Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    return reply ? reply->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3) : 0xFFFF;
}

std::vector<std::uint8_t> X11Observer::keysDown()
{
    std::vector<std::uint8_t> down;
    const Reply<xcb_query_keymap_reply_t> reply(
        xcb_query_keymap_reply(m_connection, xcb_query_keymap(m_connection), nullptr));
    if (reply) {
        for (int keycode = 0; keycode < 256; ++keycode) {
            if (reply->keys[keycode / 8] & (1 << (keycode % 8))) {
                down.push_back(static_cast<std::uint8_t>(keycode));
            }
        }
    }
    return down;
}

std::vector<std::uint32_t> X11Observer::keyboardMapping()
{
    std::lock_guard lock(m_mutex);
    readMapping();
    return m_mapping;
}

void X11Observer::readMapping()
{
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        m_connection,
        xcb_get_keyboard_mapping(m_connection, setup->min_keycode,
                                 static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    if (!reply) {
        return;
    }
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    m_mapping.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
}

QString X11Observer::textOf(const std::vector<Event>& events)
{
    QString text;
    for (const Event& event : events) {
        if (event.kind == Event::Kind::KeyPress && event.character != 0) {
            text += QString::fromUcs4(&event.character, 1);
        }
    }
    return text;
}
