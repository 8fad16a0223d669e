#include "input/KeyPositions.h"

#include <algorithm>
#include <array>

namespace {

struct Entry {
    std::uint16_t phoneCode;
    KeyPositions::Key key;
};

// Sorted by the phone's code. Key codes from linux/input-event-codes.h, names from
// xkeyboard-config's evdev key codes.
constexpr std::array table{
    Entry{0x00, {30, "AC01"}},  // A
    Entry{0x01, {31, "AC02"}},  // S
    Entry{0x02, {32, "AC03"}},  // D
    Entry{0x03, {33, "AC04"}},  // F
    Entry{0x04, {35, "AC06"}},  // H
    Entry{0x05, {34, "AC05"}},  // G
    Entry{0x06, {44, "AB01"}},  // Z
    Entry{0x07, {45, "AB02"}},  // X
    Entry{0x08, {46, "AB03"}},  // C
    Entry{0x09, {47, "AB04"}},  // V
    Entry{0x0A, {86, "LSGT"}},  // the ISO key beside the left Shift
    Entry{0x0B, {48, "AB05"}},  // B
    Entry{0x0C, {16, "AD01"}},  // Q
    Entry{0x0D, {17, "AD02"}},  // W
    Entry{0x0E, {18, "AD03"}},  // E
    Entry{0x0F, {19, "AD04"}},  // R
    Entry{0x10, {21, "AD06"}},  // Y
    Entry{0x11, {20, "AD05"}},  // T
    Entry{0x12, {2, "AE01"}},   // 1
    Entry{0x13, {3, "AE02"}},   // 2
    Entry{0x14, {4, "AE03"}},   // 3
    Entry{0x15, {5, "AE04"}},   // 4
    Entry{0x16, {7, "AE06"}},   // 6
    Entry{0x17, {6, "AE05"}},   // 5
    Entry{0x18, {13, "AE12"}},  // =
    Entry{0x19, {10, "AE09"}},  // 9
    Entry{0x1A, {8, "AE07"}},   // 7
    Entry{0x1B, {12, "AE11"}},  // -
    Entry{0x1C, {9, "AE08"}},   // 8
    Entry{0x1D, {11, "AE10"}},  // 0
    Entry{0x1E, {27, "AD12"}},  // ]
    Entry{0x1F, {24, "AD09"}},  // O
    Entry{0x20, {22, "AD07"}},  // U
    Entry{0x21, {26, "AD11"}},  // [
    Entry{0x22, {23, "AD08"}},  // I
    Entry{0x23, {25, "AD10"}},  // P
    Entry{0x24, {28, "RTRN"}},  // Return
    Entry{0x25, {38, "AC09"}},  // L
    Entry{0x26, {36, "AC07"}},  // J
    Entry{0x27, {40, "AC11"}},  // '
    Entry{0x28, {37, "AC08"}},  // K
    Entry{0x29, {39, "AC10"}},  // ;
    Entry{0x2A, {43, "BKSL"}},  // backslash
    Entry{0x2B, {51, "AB08"}},  // ,
    Entry{0x2C, {53, "AB10"}},  // /
    Entry{0x2D, {49, "AB06"}},  // N
    Entry{0x2E, {50, "AB07"}},  // M
    Entry{0x2F, {52, "AB09"}},  // .
    Entry{0x30, {15, "TAB"}},   // Tab
    Entry{0x31, {57, "SPCE"}},  // Space
    Entry{0x32, {41, "TLDE"}},  // `
    Entry{0x33, {14, "BKSP"}},  // Backspace
    Entry{0x35, {1, "ESC"}},    // Escape
    Entry{0x36, {97, "RCTL"}},  // right Command: Control
    Entry{0x37, {29, "LCTL"}},  // Command: Control
    Entry{0x38, {42, "LFSH"}},  // Shift
    Entry{0x39, {58, "CAPS"}},  // Caps Lock
    Entry{0x3A, {56, "LALT"}},  // Option: Alt
    Entry{0x3B, {29, "LCTL"}},  // Control
    Entry{0x3C, {54, "RTSH"}},  // right Shift
    Entry{0x3D, {100, "RALT"}}, // right Option: Alt
    Entry{0x3E, {97, "RCTL"}},  // right Control
    Entry{0x40, {187, "FK17"}}, // F17
    Entry{0x41, {83, "KPDL"}},  // keypad .
    Entry{0x43, {55, "KPMU"}},  // keypad *
    Entry{0x45, {78, "KPAD"}},  // keypad +
    Entry{0x47, {69, "NMLK"}},  // the keypad's Clear, where Num Lock is
    Entry{0x48, {115, "VOL+"}}, // volume up
    Entry{0x49, {114, "VOL-"}}, // volume down
    Entry{0x4A, {113, "MUTE"}}, // mute
    Entry{0x4B, {98, "KPDV"}},  // keypad /
    Entry{0x4C, {96, "KPEN"}},  // keypad Enter
    Entry{0x4E, {74, "KPSU"}},  // keypad -
    Entry{0x4F, {188, "FK18"}}, // F18
    Entry{0x50, {189, "FK19"}}, // F19
    Entry{0x51, {117, "KPEQ"}}, // keypad =
    Entry{0x52, {82, "KP0"}},   // keypad 0
    Entry{0x53, {79, "KP1"}},   // keypad 1
    Entry{0x54, {80, "KP2"}},   // keypad 2
    Entry{0x55, {81, "KP3"}},   // keypad 3
    Entry{0x56, {75, "KP4"}},   // keypad 4
    Entry{0x57, {76, "KP5"}},   // keypad 5
    Entry{0x58, {77, "KP6"}},   // keypad 6
    Entry{0x59, {71, "KP7"}},   // keypad 7
    Entry{0x5A, {190, "FK20"}}, // F20
    Entry{0x5B, {72, "KP8"}},   // keypad 8
    Entry{0x5C, {73, "KP9"}},   // keypad 9
    Entry{0x60, {63, "FK05"}},  // F5
    Entry{0x61, {64, "FK06"}},  // F6
    Entry{0x62, {65, "FK07"}},  // F7
    Entry{0x63, {61, "FK03"}},  // F3
    Entry{0x64, {66, "FK08"}},  // F8
    Entry{0x65, {67, "FK09"}},  // F9
    Entry{0x67, {87, "FK11"}},  // F11
    Entry{0x69, {183, "FK13"}}, // F13
    Entry{0x6A, {186, "FK16"}}, // F16
    Entry{0x6B, {184, "FK14"}}, // F14
    Entry{0x6D, {68, "FK10"}},  // F10
    Entry{0x6E, {127, "COMP"}}, // the context menu key
    Entry{0x6F, {88, "FK12"}},  // F12
    Entry{0x71, {185, "FK15"}}, // F15
    Entry{0x72, {110, "INS"}},  // Help, where PC keyboards have Insert
    Entry{0x73, {102, "HOME"}}, // Home
    Entry{0x74, {104, "PGUP"}}, // Page Up
    Entry{0x75, {111, "DELE"}}, // forward Delete
    Entry{0x76, {62, "FK04"}},  // F4
    Entry{0x77, {107, "END"}},  // End
    Entry{0x78, {60, "FK02"}},  // F2
    Entry{0x79, {109, "PGDN"}}, // Page Down
    Entry{0x7A, {59, "FK01"}},  // F1
    Entry{0x7B, {105, "LEFT"}}, // Left
    Entry{0x7C, {106, "RGHT"}}, // Right
    Entry{0x7D, {108, "DOWN"}}, // Down
    Entry{0x7E, {103, "UP"}},   // Up
};

static_assert(std::is_sorted(table.begin(), table.end(),
                             [](const Entry& a, const Entry& b) { return a.phoneCode < b.phoneCode; }));

} // namespace

namespace KeyPositions {

std::optional<Key> find(std::uint16_t phoneKeyCode)
{
    const auto found =
        std::lower_bound(table.begin(), table.end(), phoneKeyCode,
                         [](const Entry& entry, std::uint16_t code) { return entry.phoneCode < code; });
    if (found == table.end() || found->phoneCode != phoneKeyCode) {
        return std::nullopt;
    }
    return found->key;
}

} // namespace KeyPositions
