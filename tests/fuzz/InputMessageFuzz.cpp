// Arbitrary data-channel messages into the input injector, on a sink that records what reaches the
// platform: no message may crash it, the pointer never leaves the shown display, and releasing
// everything leaves no key or button held (so nothing stays pressed on the desktop).
#include "input/EventSink.h"
#include "input/InputInjector.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdlib>
#include <memory>
#include <set>

namespace {

class CheckingSink : public EventSink {
public:
    QRectF bounds;
    std::set<std::uint16_t> keysDown;
    bool leftDown = false;
    bool rightDown = false;

    void post(const InputEvent& event) override
    {
        using Type = InputEvent::Type;
        switch (event.type) {
        case Type::KeyDown:
        case Type::KeyUp:
            event.type == Type::KeyDown ? void(keysDown.insert(event.keyCode))
                                        : void(keysDown.erase(event.keyCode));
            return;
        case Type::ScrollWheel:
            return;
        case Type::LeftMouseDown:
        case Type::LeftMouseUp:
            leftDown = event.type == Type::LeftMouseDown;
            break;
        case Type::RightMouseDown:
        case Type::RightMouseUp:
            rightDown = event.type == Type::RightMouseDown;
            break;
        default:
            break;
        }
        // The pixel containing the point is on the display.
        if (!(event.position.x() >= bounds.left() && event.position.x() <= bounds.right() &&
              event.position.y() >= bounds.top() && event.position.y() <= bounds.bottom())) {
            std::abort();
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    auto sink = std::make_shared<CheckingSink>();
    // A display somewhere in the global space, sized by the first byte (at times empty).
    sink->bounds = QRectF(-1280, 200, (data[0] & 0x0f) * 160, (data[0] >> 4) * 90);
    InputInjector injector(sink);
    injector.displayBounds = sink->bounds;
    double clock = 0;
    injector.uptime = [&clock] { return clock += 0.1; };
    injector.doubleClickInterval = [] { return 0.5; };

    Fuzz::Records records(data + 1, size - 1);
    std::uint8_t kind = 0;
    QByteArray body;
    while (records.next(kind, body)) {
        clock += kind * 0.01;
        injector.handle(body);
    }
    injector.releaseAll();
    // Keys the injector pressed and released within one message (typed text) are balanced; a
    // held key or button after releaseAll would stay pressed on the desktop.
    if (!injector.heldKeys().empty() || injector.isLeftDown() || injector.isRightDown()) {
        std::abort();
    }
    // Nor may the desktop be left with a key or a button down.
    if (!sink->keysDown.empty() || sink->leftDown || sink->rightDown) {
        std::abort();
    }
    return 0;
}
