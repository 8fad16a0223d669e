#pragma once

#include <cstdint>
#include <optional>

// The phone's virtual key codes (the macOS codes of the ANSI layout) as X keysyms: the symbol
// of each key without modifiers.
namespace X11KeyTable {

// Nothing for codes without an X counterpart (Fn, and codes no key has).
std::optional<std::uint32_t> keysym(std::uint16_t macKeyCode);

// The keysym that types one Unicode character: Latin-1 characters are their own keysyms, the
// rest are 0x01000000 + the code point. Nothing for control characters.
std::optional<std::uint32_t> keysymForCharacter(char32_t character);

} // namespace X11KeyTable
