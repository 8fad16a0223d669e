#include "platform/x11/XTestEventSink.h"

#include "input/KeyPositions.h"
#include "platform/x11/X11Settings.h"
#include "platform/x11/XcbReply.h"

#include <QString>

#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

constexpr std::uint8_t leftButton = 1;
constexpr std::uint8_t rightButton = 3;

// The pixel that contains the point. A point a hair's breadth below a pixel's edge (a fraction
// of the display that the phone meant to be exactly that pixel, after rounding) is on it.
std::int16_t coordinate(double value)
{
    const double pixel = std::floor(value + 1e-6);
    if (std::isnan(pixel)) {
        return 0;
    }
    return static_cast<std::int16_t>(std::clamp(pixel, -32768.0, 32767.0));
}

} // namespace

XTestEventSink::XTestEventSink(const QByteArray& display)
{
    m_connection = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &m_screen);
    const xcb_query_extension_reply_t* xtest =
        xcb_connection_has_error(m_connection) ? nullptr : xcb_get_extension_data(m_connection, &xcb_test_id);
    if (!xtest || !xtest->present) {
        xcb_disconnect(m_connection);
        m_connection = nullptr;
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; i < m_screen && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    m_root = screens.data->root;
    m_keymap = std::make_unique<X11Keymap>(display);
    readMapping();

    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, [this] { run(); });
    m_unbind.setSingleShot(true);
    connect(&m_unbind, &QTimer::timeout, this, [this] { unbindIdle(); });
}

XTestEventSink::~XTestEventSink()
{
    if (!m_connection) {
        return;
    }
    for (const auto& [code, keycode] : m_held) {
        xcb_test_fake_input(m_connection, XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    for (const auto& [keycode, keysym] : m_bound) {
        changeMapping(keycode, 0);
    }
    xcb_flush(m_connection);
    xcb_disconnect(m_connection);
}

bool XTestEventSink::isAvailable(const QByteArray& display)
{
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &screen);
    bool present = false;
    if (!xcb_connection_has_error(connection)) {
        const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
        present = xtest && xtest->present;
    }
    xcb_disconnect(connection);
    return present;
}

bool XTestEventSink::isIdle() const
{
    return m_steps.empty() && m_bound.empty();
}

void XTestEventSink::sync()
{
    if (m_connection) {
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }
}

double XTestEventSink::doubleClickInterval() const
{
    if (m_connection) {
        const auto milliseconds = X11Settings::integer(m_connection, m_screen, "Net/DoubleClickTime");
        if (milliseconds && *milliseconds > 0) {
            return *milliseconds / 1000.0;
        }
    }
    return 0.5;
}

void XTestEventSink::post(const InputEvent& event)
{
    if (!m_connection) {
        return;
    }
    readEvents();
    if (m_mappingStale) {
        readMapping();
    }
    if (event.isMouse()) {
        pointer(event);
    } else if (event.type == InputEvent::Type::ScrollWheel) {
        // A new gesture starts afresh: what was short of a click in the last one is dropped.
        const Clock::time_point now = Clock::now();
        if (now - m_lastWheel > wheelRest) {
            m_verticalRemainder = 0;
            m_horizontalRemainder = 0;
        }
        m_lastWheel = now;
        wheel(event.wheelVertical, m_verticalRemainder, 4, 5);
        wheel(event.wheelHorizontal, m_horizontalRemainder, 6, 7);
    } else {
        key(event);
    }
    run();
}

void XTestEventSink::pointer(const InputEvent& event)
{
    using Type = InputEvent::Type;
    enqueue({Step::Kind::Motion, 0, coordinate(event.position.x()), coordinate(event.position.y())});
    const std::uint8_t button = event.button == InputEvent::MouseButton::Right ? rightButton : leftButton;
    switch (event.type) {
    case Type::LeftMouseDown:
    case Type::RightMouseDown:
        enqueue({Step::Kind::ButtonPress, button});
        break;
    case Type::LeftMouseUp:
    case Type::RightMouseUp:
        enqueue({Step::Kind::ButtonRelease, button});
        break;
    default:
        break;
    }
}

void XTestEventSink::wheel(std::int32_t pixels, double& remainder, std::uint8_t positiveButton,
                           std::uint8_t negativeButton)
{
    if (pixels == 0) {
        return;
    }
    // A turn of direction starts afresh, so that the first pixels the other way are not spent
    // paying back the remainder.
    if ((remainder > 0 && pixels < 0) || (remainder < 0 && pixels > 0)) {
        remainder = 0;
    }
    remainder += pixels;
    const double clicks = std::trunc(remainder / pixelsPerWheelClick);
    remainder -= clicks * pixelsPerWheelClick;
    const int count = static_cast<int>(std::min(std::abs(clicks), double(maximumWheelClicks)));
    for (int i = 0; i < count; ++i) {
        click(clicks > 0 ? positiveButton : negativeButton);
    }
}

void XTestEventSink::click(std::uint8_t button)
{
    enqueue({Step::Kind::ButtonPress, button});
    enqueue({Step::Kind::ButtonRelease, button});
}

void XTestEventSink::key(const InputEvent& event)
{
    const bool down = event.type == InputEvent::Type::KeyDown;
    if (!event.text.empty()) {
        // The characters are typed with the key-down; its key-up has nothing left to do.
        if (down) {
            typeText(event.text);
        }
        return;
    }
    const auto held = m_held.find(event.keyCode);
    if (down) {
        const std::optional<std::uint8_t> keycode =
            held != m_held.end() ? std::optional(held->second) : keycodeAt(event.keyCode);
        if (!keycode) {
            return;
        }
        m_held[event.keyCode] = *keycode;
        enqueue({Step::Kind::KeyPress, *keycode});
        return;
    }
    std::optional<std::uint8_t> keycode;
    if (held != m_held.end()) {
        keycode = held->second;
        m_held.erase(held);
    } else {
        keycode = keycodeAt(event.keyCode);
    }
    if (keycode) {
        enqueue({Step::Kind::KeyRelease, *keycode});
    }
}

std::optional<std::uint8_t> XTestEventSink::keycodeAt(std::uint16_t phoneKeyCode) const
{
    const std::optional<KeyPositions::Key> key = KeyPositions::find(phoneKeyCode);
    if (!key) {
        return std::nullopt;
    }
    // Servers whose keys have no XKB names number them as evdev does.
    const std::uint8_t keycode =
        m_keymap->keycode(key->xkbName).value_or(KeyPositions::evdevToXKeycode(key->evdevCode));
    if (keycode < m_minKeycode || keycode > m_maxKeycode) {
        return std::nullopt;
    }
    return keycode;
}

void XTestEventSink::typeText(const std::u16string& text)
{
    // What each key gives in the keyboard's state as it is (the layout group in effect, Num Lock),
    // without Caps Lock, which is lifted while the text is typed. Keys sent before count.
    if (m_steps.empty()) {
        sync();
    }
    const X11Keymap::State state = m_keymap->state().value_or(X11Keymap::State{});
    const auto locked = static_cast<std::uint8_t>(state.lockedModifiers & ~XCB_MOD_MASK_LOCK);
    const bool capsLock = (state.lockedModifiers & XCB_MOD_MASK_LOCK) != 0;
    const X11Keymap::Characters plain = m_keymap->characters(locked, state.group);
    const X11Keymap::Characters shifted = m_keymap->characters(locked | XCB_MOD_MASK_SHIFT, state.group);
    const bool modifiersHeld = std::any_of(m_held.begin(), m_held.end(), [](const auto& entry) {
        return KeyPositions::isModifier(entry.first);
    });
    if (capsLock) {
        enqueue({Step::Kind::LockCaps, 0});
    }
    const QString characters = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
    for (const char32_t character : characters.toUcs4()) {
        typeCharacter(character, plain, shifted, modifiersHeld);
    }
    if (capsLock) {
        enqueue({Step::Kind::LockCaps, 1});
    }
}

void XTestEventSink::typeCharacter(char32_t character, const X11Keymap::Characters& plain,
                                   const X11Keymap::Characters& shifted, bool modifiersHeld)
{
    if (character == 0) {
        return;
    }
    // With no modifier held, a character the keyboard gives is typed with its own key (and Shift
    // when that is what gives it); otherwise, and for characters on no key, with a bound spare
    // key, which gives the character whatever the modifiers and the layout group.
    const auto isSpare = [this](int keycode) {
        return std::find(m_spares.begin(), m_spares.end(), keycode) != m_spares.end();
    };
    if (!modifiersHeld) {
        for (int keycode = m_minKeycode; keycode <= m_maxKeycode; ++keycode) {
            if (plain[std::size_t(keycode)] == character && !isSpare(keycode)) {
                enqueue({Step::Kind::KeyPress, static_cast<std::uint8_t>(keycode)});
                enqueue({Step::Kind::KeyRelease, static_cast<std::uint8_t>(keycode)});
                return;
            }
        }
        for (int keycode = m_minKeycode; m_shiftKeycode && keycode <= m_maxKeycode; ++keycode) {
            if (shifted[std::size_t(keycode)] == character && !isSpare(keycode)) {
                enqueue({Step::Kind::KeyPress, *m_shiftKeycode});
                enqueue({Step::Kind::KeyPress, static_cast<std::uint8_t>(keycode)});
                enqueue({Step::Kind::KeyRelease, static_cast<std::uint8_t>(keycode)});
                enqueue({Step::Kind::KeyRelease, *m_shiftKeycode});
                return;
            }
        }
    }
    const xkb_keysym_t keysym = xkb_utf32_to_keysym(character);
    if (keysym == XKB_KEY_NoSymbol) {
        return;
    }
    const std::uint8_t keycode = bindSpare(keysym);
    if (keycode != 0) {
        enqueue({Step::Kind::KeyPress, keycode});
        enqueue({Step::Kind::KeyRelease, keycode});
    }
}

std::uint8_t XTestEventSink::bindSpare(std::uint32_t keysym)
{
    for (const auto& [keycode, bound] : m_planned) {
        if (bound == keysym) {
            return keycode;
        }
    }
    if (m_spares.empty()) {
        return 0;
    }
    // An unbound spare if there is one, else the next in turn.
    std::optional<std::uint8_t> chosen;
    for (const std::uint8_t spare : m_spares) {
        if (!m_planned.contains(spare)) {
            chosen = spare;
            break;
        }
    }
    if (!chosen) {
        chosen = m_spares[m_nextSpare];
        m_nextSpare = (m_nextSpare + 1) % m_spares.size();
    }
    m_planned[*chosen] = keysym;
    enqueue({Step::Kind::Bind, *chosen, 0, 0, keysym});
    return *chosen;
}

void XTestEventSink::enqueue(const Step& step)
{
    m_steps.push_back(step);
}

void XTestEventSink::run()
{
    m_wait.stop();
    while (!m_steps.empty()) {
        const Step step = m_steps.front();
        const Clock::time_point ready = readyAt(step);
        const Clock::time_point now = Clock::now();
        if (ready > now) {
            xcb_flush(m_connection);
            m_wait.start(std::chrono::ceil<std::chrono::milliseconds>(ready - now));
            return;
        }
        m_steps.pop_front();
        execute(step);
    }
    xcb_flush(m_connection);
    if (!m_bound.empty() || !m_planned.empty()) {
        m_unbind.start(unbindAfter);
    }
}

XTestEventSink::Clock::time_point XTestEventSink::readyAt(const Step& step) const
{
    switch (step.kind) {
    case Step::Kind::KeyPress:
    case Step::Kind::KeyRelease:
        if (const auto bound = m_boundAt.find(step.detail); bound != m_boundAt.end()) {
            return bound->second + mappingSettle;
        }
        break;
    case Step::Kind::Bind:
    case Step::Kind::Unbind:
        if (const auto used = m_usedAt.find(step.detail); used != m_usedAt.end()) {
            return used->second + reuseSettle;
        }
        break;
    default:
        break;
    }
    return Clock::time_point::min();
}

void XTestEventSink::execute(const Step& step)
{
    switch (step.kind) {
    case Step::Kind::Motion:
        xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root, step.x, step.y, 0);
        break;
    case Step::Kind::ButtonPress:
        xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, step.detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        break;
    case Step::Kind::ButtonRelease:
        xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, step.detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                            0);
        break;
    case Step::Kind::KeyPress:
    case Step::Kind::KeyRelease:
        xcb_test_fake_input(m_connection, step.kind == Step::Kind::KeyPress ? XCB_KEY_PRESS : XCB_KEY_RELEASE,
                            step.detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        if (m_bound.contains(step.detail)) {
            m_usedAt[step.detail] = Clock::now();
        }
        break;
    case Step::Kind::Bind:
        changeMapping(step.detail, step.keysym);
        m_bound[step.detail] = step.keysym;
        m_boundAt[step.detail] = Clock::now();
        break;
    case Step::Kind::Unbind:
        changeMapping(step.detail, 0);
        m_bound.erase(step.detail);
        m_boundAt.erase(step.detail);
        m_usedAt.erase(step.detail);
        break;
    case Step::Kind::LockCaps:
        // On the keymap's own connection: what was sent before is handled first.
        sync();
        m_keymap->lockCaps(step.detail != 0);
        break;
    }
}

void XTestEventSink::changeMapping(std::uint8_t keycode, std::uint32_t keysym)
{
    const int width = std::max(m_keysymsPerKeycode, 2);
    std::vector<xcb_keysym_t> row(std::size_t(width), 0);
    row[0] = keysym;
    row[1] = keysym;
    xcb_change_keyboard_mapping(m_connection, 1, keycode, static_cast<std::uint8_t>(width), row.data());
    m_ownChanges.push_back(keycode);
}

void XTestEventSink::readMapping()
{
    m_mappingStale = false;
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    m_minKeycode = setup->min_keycode;
    m_maxKeycode = setup->max_keycode;
    const XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        m_connection,
        xcb_get_keyboard_mapping(m_connection, m_minKeycode,
                                 static_cast<std::uint8_t>(m_maxKeycode - m_minKeycode + 1)),
        nullptr));
    if (!reply) {
        return;
    }
    m_keysymsPerKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* first = xcb_get_keyboard_mapping_keysyms(reply.get());
    std::vector<xcb_keysym_t> keysyms(first, first + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    // Our own bindings are not the keyboard's: those keys count as empty.
    for (const auto& [keycode, keysym] : m_bound) {
        const std::size_t start = std::size_t(keycode - m_minKeycode) * std::size_t(m_keysymsPerKeycode);
        for (int level = 0; level < m_keysymsPerKeycode && start + level < keysyms.size(); ++level) {
            keysyms[start + level] = 0;
        }
    }
    m_spares.clear();
    for (int keycode = m_maxKeycode; keycode >= m_minKeycode; --keycode) {
        const std::size_t start = std::size_t(keycode - m_minKeycode) * std::size_t(m_keysymsPerKeycode);
        bool empty = start + std::size_t(m_keysymsPerKeycode) <= keysyms.size();
        for (int level = 0; empty && level < m_keysymsPerKeycode; ++level) {
            empty = keysyms[start + level] == 0;
        }
        if (empty) {
            m_spares.push_back(static_cast<std::uint8_t>(keycode));
        }
    }
    m_nextSpare = 0;
    m_keymap->reload();
    m_shiftKeycode = keycodeAt(KeyPositions::leftShift);
}

void XTestEventSink::readEvents()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        const XcbReply<xcb_generic_event_t> owned(event);
        if ((event->response_type & 0x7F) != XCB_MAPPING_NOTIFY) {
            continue;
        }
        const auto* notify = reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
        if (notify->request == XCB_MAPPING_KEYBOARD && !m_ownChanges.empty() &&
            m_ownChanges.front() == notify->first_keycode && notify->count == 1) {
            m_ownChanges.pop_front();
        } else {
            m_mappingStale = true;
        }
    }
}

void XTestEventSink::unbindIdle()
{
    if (!m_steps.empty()) {
        m_unbind.start(unbindAfter);
        return;
    }
    for (const auto& [keycode, keysym] : m_planned) {
        enqueue({Step::Kind::Unbind, keycode});
    }
    m_planned.clear();
    run();
}
