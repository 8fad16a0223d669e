#pragma once

#include <cstdint>
#include <optional>

// The phone's key codes name physical key positions (the virtual key codes of the Mac's ANSI
// keyboard). Each position is the same physical key on a PC keyboard: its Linux evdev key code
// and its XKB key name, so that the desktop's active layout decides the character, as on the
// phone's own keyboard. Command sits on Control, this desktop's shortcut key; Option on Alt.
namespace KeyPositions {

struct Key {
    std::uint16_t evdevCode = 0;
    // Four characters at most, as XKB names keys ("AC01" is the key right of Caps Lock).
    const char* xkbName = "";
};

// Nothing for codes no key has here (Fn, and codes of no key).
std::optional<Key> find(std::uint16_t phoneKeyCode);

// The phone's codes of the left Shift key, and of every modifier key (Command, Shift, Option,
// Control, left and right; Caps Lock locks and is none).
constexpr std::uint16_t leftShift = 0x38;
constexpr bool isModifier(std::uint16_t phoneKeyCode)
{
    return phoneKeyCode >= 0x36 && phoneKeyCode <= 0x3E && phoneKeyCode != 0x39;
}

// X servers number keys as evdev does, plus 8.
constexpr std::uint8_t evdevToXKeycode(std::uint16_t evdevCode)
{
    return static_cast<std::uint8_t>(evdevCode + 8);
}

} // namespace KeyPositions
