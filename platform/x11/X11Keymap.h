#pragma once

#include <QByteArray>

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

struct xkb_context;
struct xkb_keymap;

// The keyboard of an X display as its XKB keymap describes it (every layout group, its levels,
// the keys' names), read through libxkbcommon, which X clients use to turn keys into characters.
// It talks to the server over a connection of its own: a connection that has taken up XKB no
// longer hears of keymap changes as core MappingNotify events, which its owner relies on.
class X11Keymap {
public:
    // An empty name means $DISPLAY.
    explicit X11Keymap(const QByteArray& display);
    ~X11Keymap();
    X11Keymap(const X11Keymap&) = delete;
    X11Keymap& operator=(const X11Keymap&) = delete;

    bool isValid() const { return m_keymap != nullptr; }
    // Reads the server's keymap again, after it changed.
    void reload();

    // The keycode of the key with this XKB name ("AC01"), nothing when the keymap has none.
    std::optional<std::uint8_t> keycode(const char* name) const;

    // What each keycode types with these modifiers (the X core modifier mask, Lock included) in
    // this layout group; 0 for a key that types nothing.
    using Characters = std::array<char32_t, 256>;
    Characters characters(std::uint16_t modifiers, int group) const;

    // What a key event gives an X client: its keysym and character, from the event's state (the
    // core modifiers, and the group in bits 13 and 14).
    struct Translation {
        std::uint32_t keysym = 0;
        char32_t character = 0;
    };
    Translation translate(std::uint8_t keycode, std::uint16_t eventState) const;

    // The server's keyboard state: the locked modifiers and the group in effect.
    struct State {
        std::uint8_t lockedModifiers = 0;
        int group = 0;
    };
    std::optional<State> state() const;
    // Sets the locked state of the Caps Lock modifier; done when it returns.
    void lockCaps(bool locked);

private:
    xcb_connection_t* m_connection;
    std::int32_t m_device = -1;
    xkb_context* m_context = nullptr;
    xkb_keymap* m_keymap = nullptr;
};
