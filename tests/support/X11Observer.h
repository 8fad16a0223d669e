#pragma once

#include "platform/x11/X11Keymap.h"

#include <QByteArray>
#include <QPoint>

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// An X client with a window over the whole screen that has the keyboard focus: a thread of its
// own records key presses, button presses and releases and motion, translating keys with the
// XKB keymap it re-reads whenever the server says the mapping changed, as X clients do.
class X11Observer {
public:
    struct Event {
        // The X event type (XCB_KEY_PRESS, XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY);
        // root-window coordinates; the button or keycode; for keys, the keysym and the character
        // for the event's modifiers and layout group; when it was read, on the steady clock.
        std::uint8_t type = 0;
        int x = 0;
        int y = 0;
        int detail = 0;
        std::uint32_t keysym = 0;
        char32_t character = 0;
        std::chrono::steady_clock::time_point arrived;
    };

    explicit X11Observer(const QByteArray& display);
    ~X11Observer();

    bool isConnected() const { return xcb_connection_has_error(m_connection) == 0; }
    // Waits until every event the server sent before now has been recorded.
    void sync();
    // The events recorded so far, which are then forgotten.
    std::vector<Event> take();
    // The first recorded event that matches, waiting for it as long as the timeout allows.
    std::optional<Event> waitFor(const std::function<bool(const Event&)>& matches,
                                 std::chrono::milliseconds timeout);

    // Asks the server: where the pointer is, how many keys and buttons are down, the keyboard
    // mapping (keysyms by keycode).
    QPoint pointer();
    int held();
    std::vector<std::uint32_t> keyboardMapping();

private:
    void receive();

    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    xcb_window_t m_window = 0;
    X11Keymap m_keymap;
    std::uint8_t m_xkbEvent = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint32_t m_syncsSent = 0;
    std::uint32_t m_syncsSeen = 0;
    std::vector<Event> m_events;
    std::thread m_receiver;
};
