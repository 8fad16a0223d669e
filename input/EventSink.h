#pragma once

#include <QPointF>

#include <cstdint>
#include <string>

// One synthesized input event, as the injector hands it to the platform. The type numbers, the
// button numbers and the modifier flags are those the phone's protocol was made with (the macOS
// event types and flag masks); a platform sink translates them to its own events.
struct InputEvent {
    enum class Type : int {
        LeftMouseDown = 1,
        LeftMouseUp = 2,
        RightMouseDown = 3,
        RightMouseUp = 4,
        MouseMoved = 5,
        LeftMouseDragged = 6,
        RightMouseDragged = 7,
        KeyDown = 10,
        KeyUp = 11,
        ScrollWheel = 22,
    };
    enum class MouseButton : int { Left = 0, Right = 1 };

    // Modifier flag masks.
    static constexpr std::uint64_t shiftFlag = 0x20000;
    static constexpr std::uint64_t controlFlag = 0x40000;
    static constexpr std::uint64_t alternateFlag = 0x80000;
    static constexpr std::uint64_t commandFlag = 0x100000;

    Type type = Type::MouseMoved;
    // Mouse events: in the global display space (X11: root-window pixels).
    QPointF position;
    MouseButton button = MouseButton::Left;
    std::int64_t clickState = 0;
    // Key events: the virtual key code, and for typed text the characters it carries (UTF-16);
    // a key event with text stands for those characters, whatever its code.
    std::uint16_t keyCode = 0;
    std::u16string text;
    std::uint64_t flags = 0;
    // Scroll events, in pixels: vertical (positive = up) and horizontal (positive = left).
    std::int32_t wheelVertical = 0;
    std::int32_t wheelHorizontal = 0;

    bool operator==(const InputEvent&) const = default;

    bool isMouse() const { return type != Type::KeyDown && type != Type::KeyUp && type != Type::ScrollWheel; }
    bool isKey() const { return type == Type::KeyDown || type == Type::KeyUp; }
};

// Where synthesized events go: the platform's event injection, or a recorder in tests.
class EventSink {
public:
    virtual ~EventSink() = default;
    // Posts one event. A sink that cannot make or deliver it skips it; nothing is reported.
    virtual void post(const InputEvent& event) = 0;
};
