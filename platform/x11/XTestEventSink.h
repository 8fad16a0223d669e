#pragma once

#include "input/EventSink.h"
#include "platform/x11/X11Keymap.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// Posts input events on an X display through the XTEST extension, as the server's own pointer
// and keyboard would produce them.
//
// Pointer events go to absolute root-window coordinates (the pixel containing the point).
// Wheel values in pixels become clicks of buttons 4–7, `pixelsPerWheelClick` pixels a click;
// the remainder carries over to the next event in the same direction until the wheel has rested
// for `wheelRest`. The phone's key codes are key positions: each presses the key at the same
// place on this keyboard (found by its XKB name), so the active layout decides the character.
// Text is typed independently of Caps Lock and of the active layout group: a character goes
// through the key that gives it in the keyboard's current state (with Shift if need be), and
// otherwise through a spare keycode (one the keyboard mapping leaves empty) bound to the
// character for the moment; Caps Lock is lifted while text is typed. X clients translate a
// keycode with the mapping they read when they hear it changed, which may be well after the
// change (toolkits read the whole XKB keymap again), so a binding is left in place for
// `mappingSettle` before its key is pressed and for `reuseSettle` after, before it changes again;
// the spare keys are used in turn, and events queue behind such a wait rather than block the
// caller.
class XTestEventSink : public QObject, public EventSink {
    Q_OBJECT

public:
    static constexpr int pixelsPerWheelClick = 40;
    // More clicks than this in one event are dropped, with the remainder.
    static constexpr int maximumWheelClicks = 50;
    static constexpr std::chrono::microseconds mappingSettle{2000};
    static constexpr std::chrono::milliseconds reuseSettle{100};
    // Unused bindings go back to empty this long after the last event.
    static constexpr std::chrono::milliseconds unbindAfter{50};
    // Wheel pixels short of a click are dropped after this long without scrolling.
    static constexpr std::chrono::milliseconds wheelRest{300};

    // An empty name means $DISPLAY.
    explicit XTestEventSink(const QByteArray& display = {});
    ~XTestEventSink() override;
    XTestEventSink(const XTestEventSink&) = delete;
    XTestEventSink& operator=(const XTestEventSink&) = delete;

    // Whether the display can be reached and has the XTEST extension.
    static bool isAvailable(const QByteArray& display = {});

    bool isConnected() const { return m_connection != nullptr; }
    void post(const InputEvent& event) override;
    // Nothing is waiting to be sent and no spare keycode is bound.
    bool isIdle() const;
    // Waits until the server has handled everything sent so far.
    void sync();
    // The desktop's double-click time (XSETTINGS "Net/DoubleClickTime"), 0.5 s without one.
    double doubleClickInterval() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        enum class Kind {
            Motion,
            ButtonPress,
            ButtonRelease,
            KeyPress,
            KeyRelease,
            Bind,
            Unbind,
            LockCaps
        } kind;
        std::uint8_t detail = 0;
        std::int16_t x = 0;
        std::int16_t y = 0;
        std::uint32_t keysym = 0;
    };

    void pointer(const InputEvent& event);
    void wheel(std::int32_t pixels, double& remainder, std::uint8_t positiveButton,
               std::uint8_t negativeButton);
    void key(const InputEvent& event);
    // The keycode of the key at the phone's key position.
    std::optional<std::uint8_t> keycodeAt(std::uint16_t phoneKeyCode) const;
    void typeText(const std::u16string& text);
    void typeCharacter(char32_t character, const X11Keymap::Characters& plain,
                       const X11Keymap::Characters& shifted, bool modifiersHeld);
    void click(std::uint8_t button);
    // A spare keycode that will be bound to the keysym when the queue reaches it.
    std::uint8_t bindSpare(std::uint32_t keysym);

    void enqueue(const Step& step);
    void run();
    // When the step may run: bound keys wait for the binding to settle and vice versa.
    Clock::time_point readyAt(const Step& step) const;
    void execute(const Step& step);
    void changeMapping(std::uint8_t keycode, std::uint32_t keysym);
    void readMapping();
    void readEvents();
    void unbindIdle();

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    int m_screen = 0;
    std::unique_ptr<X11Keymap> m_keymap;

    // The keyboard mapping as the server has it, without our bindings.
    std::uint8_t m_minKeycode = 8;
    std::uint8_t m_maxKeycode = 255;
    int m_keysymsPerKeycode = 0;
    std::vector<std::uint8_t> m_spares;
    bool m_mappingStale = false;
    // Our own mapping changes whose notifications have not come back yet.
    std::deque<std::uint8_t> m_ownChanges;
    std::optional<std::uint8_t> m_shiftKeycode;

    // Spare keycode → keysym, as planned (when the queue has run) and as the server has it.
    std::map<std::uint8_t, std::uint32_t> m_planned;
    std::map<std::uint8_t, std::uint32_t> m_bound;
    std::map<std::uint8_t, Clock::time_point> m_boundAt;
    std::map<std::uint8_t, Clock::time_point> m_usedAt;
    std::size_t m_nextSpare = 0;

    // Physical keys held: the phone's code → the keycode pressed for it.
    std::map<std::uint16_t, std::uint8_t> m_held;

    double m_verticalRemainder = 0;
    double m_horizontalRemainder = 0;
    Clock::time_point m_lastWheel;

    std::deque<Step> m_steps;
    QTimer m_wait;
    QTimer m_unbind;
};
