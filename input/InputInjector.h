#pragma once

#include "input/EventSink.h"
#include "input/Message.h"

#include <QByteArrayView>
#include <QHash>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>

// Turns the phone's control messages into pointer, button, wheel and keyboard events on the
// display being shown. Lives on the main thread; no other thread touches it.
class InputInjector {
public:
    // "-inputlog": a log line per handled message.
    explicit InputInjector(std::shared_ptr<EventSink> sink, bool logsInput = false);

    // The shown display, in the global display space; nothing is posted for the pointer while
    // its width is not positive.
    QRectF displayBounds;
    // Where the events go; the owner may replace it.
    std::shared_ptr<EventSink> sink;
    // Seconds of a monotonic clock, and the user's double-click interval in seconds.
    std::function<double()> uptime;
    std::function<double()> doubleClickInterval;

    // One data-channel message; never fails outwards.
    void handle(QByteArrayView bytes);
    // Releases every held key, then the held buttons.
    void releaseAll();

    // Key names the phone sends and their virtual key codes.
    static const QHash<QString, std::uint16_t>& namedKeys();
    // Modifier keys and their flag masks.
    static const QHash<std::uint16_t, std::uint64_t>& modifierFlags();

    static constexpr double defaultDoubleClickInterval = 0.5;
    static constexpr double clickDistance = 6.0;

    bool isLeftDown() const { return m_leftDown; }
    bool isRightDown() const { return m_rightDown; }
    const std::set<std::uint16_t>& heldKeys() const { return m_heldKeys; }
    std::int64_t clickCount() const { return m_clickCount; }

private:
    std::optional<QPointF> point(const Message& message) const;
    void move(QPointF to);
    void button(std::int64_t button, bool down, QPointF at);
    void wheel(double dx, double dy);
    void typeText(const QString& text);
    void physicalKey(std::uint16_t code, bool down);
    void keyPress(std::uint16_t code);
    std::uint64_t heldFlags() const;
    void post(const InputEvent& event);

    bool m_leftDown = false;
    bool m_rightDown = false;
    QPointF m_position;
    double m_lastClickTime = 0;
    QPointF m_lastClickPoint;
    std::int64_t m_clickCount = 1;
    std::set<std::uint16_t> m_heldKeys;
    const bool m_logsInput;
};
