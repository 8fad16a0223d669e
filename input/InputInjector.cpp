#include "input/InputInjector.h"

#include "base/HelperLog.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

using Type = InputEvent::Type;
using MouseButton = InputEvent::MouseButton;

constexpr std::uint16_t enterKey = 36;
constexpr std::int64_t highestKeyCode = 127;

bool isLineBreak(char32_t scalar)
{
    return scalar == 0x0A || scalar == 0x0B || scalar == 0x0C || scalar == 0x0D || scalar == 0x85 ||
           scalar == 0x2028 || scalar == 0x2029;
}

// −value truncated toward zero; nothing when that does not fit a signed 32-bit integer.
std::optional<std::int32_t> wheelValue(double value)
{
    const double negated = std::trunc(-value);
    if (!(negated >= double(std::numeric_limits<std::int32_t>::min()) &&
          negated <= double(std::numeric_limits<std::int32_t>::max()))) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(negated);
}

double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

InputInjector::InputInjector(std::shared_ptr<EventSink> eventSink, bool logsInput)
    : sink(std::move(eventSink))
    , uptime(steadySeconds)
    , doubleClickInterval([] { return defaultDoubleClickInterval; })
    , m_logsInput(logsInput)
{}

const QHash<QString, std::uint16_t>& InputInjector::namedKeys()
{
    static const QHash<QString, std::uint16_t> keys{
        {u"Backspace"_s, 51}, {u"Enter"_s, 36},      {u"Tab"_s, 48},         {u"Escape"_s, 53},
        {u"Delete"_s, 117},   {u"ArrowLeft"_s, 123}, {u"ArrowRight"_s, 124}, {u"ArrowDown"_s, 125},
        {u"ArrowUp"_s, 126},  {u"Home"_s, 115},      {u"End"_s, 119},        {u"PageUp"_s, 116},
        {u"PageDown"_s, 121},
    };
    return keys;
}

const QHash<std::uint16_t, std::uint64_t>& InputInjector::modifierFlags()
{
    static const QHash<std::uint16_t, std::uint64_t> flags{
        {55, InputEvent::commandFlag}, {54, InputEvent::commandFlag},   {56, InputEvent::shiftFlag},
        {60, InputEvent::shiftFlag},   {58, InputEvent::alternateFlag}, {61, InputEvent::alternateFlag},
        {59, InputEvent::controlFlag}, {62, InputEvent::controlFlag},
    };
    return flags;
}

void InputInjector::handle(QByteArrayView bytes)
{
    const std::optional<Message> decoded = Message::decode(bytes);
    if (!decoded) {
        return;
    }
    const Message& message = *decoded;
    if (m_logsInput) {
        HelperLog::write(u"input "_s + message.t);
    }
    const QString& t = message.t;
    if (t == "m"_L1) {
        if (const auto at = point(message)) {
            move(*at);
        }
    } else if (t == "d"_L1 || t == "u"_L1) {
        if (const auto at = point(message)) {
            button(message.b.value_or(0), t == "d"_L1, *at);
        }
    } else if (t == "c"_L1) {
        releaseAll();
    } else if (t == "w"_L1) {
        wheel(message.dx.value_or(0), message.dy.value_or(0));
    } else if (t == "k"_L1) {
        if (message.k) {
            const auto named = namedKeys().constFind(*message.k);
            if (named != namedKeys().constEnd()) {
                keyPress(*named);
            } else {
                typeText(*message.k);
            }
        }
    } else if (t == "p"_L1) {
        if (message.s) {
            typeText(*message.s);
        }
    } else if (t == "kc"_L1) {
        // Codes outside 0…127 (negative ones and those beyond 16 bits included) are ignored.
        if (message.c && message.d && *message.c >= 0 && *message.c <= highestKeyCode) {
            physicalKey(static_cast<std::uint16_t>(*message.c), *message.d);
        }
    }
}

void InputInjector::releaseAll()
{
    const std::set<std::uint16_t> snapshot = m_heldKeys;
    for (const std::uint16_t code : snapshot) {
        m_heldKeys.erase(code);
        InputEvent event;
        event.type = Type::KeyUp;
        event.keyCode = code;
        event.flags = heldFlags();
        post(event);
    }
    if (m_leftDown) {
        button(0, false, m_position);
    }
    if (m_rightDown) {
        button(2, false, m_position);
    }
}

std::optional<QPointF> InputInjector::point(const Message& message) const
{
    // A display without area (a monitor being switched off reports 0 × 0) gets nothing.
    if (!message.x || !message.y || !(displayBounds.width() > 0) || !(displayBounds.height() > 0) ||
        std::isnan(*message.x) || std::isnan(*message.y)) {
        return std::nullopt;
    }
    const double x = std::clamp(*message.x, 0.0, 1.0);
    const double y = std::clamp(*message.y, 0.0, 1.0);
    // The last pixel; a display less than a pixel wide has only its first.
    return QPointF(displayBounds.x() + x * std::max(0.0, displayBounds.width() - 1),
                   displayBounds.y() + y * std::max(0.0, displayBounds.height() - 1));
}

void InputInjector::move(QPointF to)
{
    m_position = to;
    InputEvent event;
    event.type = m_leftDown    ? Type::LeftMouseDragged
                 : m_rightDown ? Type::RightMouseDragged
                               : Type::MouseMoved;
    event.button = m_rightDown && !m_leftDown ? MouseButton::Right : MouseButton::Left;
    event.position = to;
    post(event);
}

void InputInjector::button(std::int64_t which, bool down, QPointF at)
{
    m_position = at;
    if (down) {
        const double now = uptime();
        const double distance = std::hypot(at.x() - m_lastClickPoint.x(), at.y() - m_lastClickPoint.y());
        m_clickCount =
            now - m_lastClickTime < doubleClickInterval() && distance < clickDistance ? m_clickCount + 1 : 1;
        m_lastClickTime = now;
        m_lastClickPoint = at;
    }
    const bool right = which == 2;
    InputEvent event;
    event.type = right ? (down ? Type::RightMouseDown : Type::RightMouseUp)
                       : (down ? Type::LeftMouseDown : Type::LeftMouseUp);
    event.button = right ? MouseButton::Right : MouseButton::Left;
    event.position = at;
    event.clickState = m_clickCount;
    post(event);
    (right ? m_rightDown : m_leftDown) = down;
}

void InputInjector::wheel(double dx, double dy)
{
    // Distances beyond what a wheel event holds are no scrolling anyone meant: ignored.
    const std::optional<std::int32_t> vertical = wheelValue(dy);
    const std::optional<std::int32_t> horizontal = wheelValue(dx);
    if (!vertical || !horizontal) {
        return;
    }
    InputEvent event;
    event.type = Type::ScrollWheel;
    event.wheelVertical = *vertical;
    event.wheelHorizontal = *horizontal;
    post(event);
}

void InputInjector::typeText(const QString& text)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = graphemes.toNextBoundary(); end != -1 && end > start;
         end = graphemes.toNextBoundary()) {
        const QStringView character = QStringView(text).sliced(start, end - start);
        start = end;
        if (isLineBreak(character.toUcs4().value(0))) {
            keyPress(enterKey);
            continue;
        }
        InputEvent event;
        event.type = Type::KeyDown;
        event.text.assign(character.utf16(), character.utf16() + character.size());
        post(event);
        event.type = Type::KeyUp;
        post(event);
    }
}

void InputInjector::physicalKey(std::uint16_t code, bool down)
{
    if (down) {
        m_heldKeys.insert(code);
    } else {
        m_heldKeys.erase(code);
    }
    InputEvent event;
    event.type = down ? Type::KeyDown : Type::KeyUp;
    event.keyCode = code;
    event.flags = heldFlags();
    post(event);
}

void InputInjector::keyPress(std::uint16_t code)
{
    InputEvent event;
    event.type = Type::KeyDown;
    event.keyCode = code;
    post(event);
    event.type = Type::KeyUp;
    post(event);
}

std::uint64_t InputInjector::heldFlags() const
{
    std::uint64_t flags = 0;
    for (const std::uint16_t code : m_heldKeys) {
        flags |= modifierFlags().value(code, 0);
    }
    return flags;
}

void InputInjector::post(const InputEvent& event)
{
    if (sink) {
        sink->post(event);
    }
}
