// The injector on a recording sink: the exact events each control message makes. This program
// runs with "-inputlog", so every handled message also leaves a log line.
#include "base/HelperLog.h"
#include "input/InputInjector.h"
#include "tests/support/LogReader.h"
#include "tests/support/QtPrinting.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <limits>
#include <memory>

using namespace Qt::StringLiterals;
using Type = InputEvent::Type;
using MouseButton = InputEvent::MouseButton;

namespace {

class Recorder : public EventSink {
public:
    void post(const InputEvent& event) override { events.push_back(event); }
    std::vector<InputEvent> events;
};

class Injector : public ::testing::Test {
protected:
    Injector() : recorder(std::make_shared<Recorder>()), injector(recorder)
    {
        injector.uptime = [this] { return now; };
        injector.doubleClickInterval = [] { return 0.5; };
        injector.displayBounds = QRectF(0, 0, 1440, 900);
    }

    std::vector<InputEvent> take()
    {
        std::vector<InputEvent> events;
        events.swap(recorder->events);
        return events;
    }

    std::vector<InputEvent> handle(QByteArrayView message)
    {
        injector.handle(message);
        return take();
    }

    // The messages in order, and every event they made.
    std::vector<InputEvent> handle(std::initializer_list<QByteArrayView> messages)
    {
        for (const QByteArrayView message : messages) {
            injector.handle(message);
        }
        return take();
    }

    std::shared_ptr<Recorder> recorder;
    InputInjector injector;
    double now = 100;
};

InputEvent mouse(Type type, QPointF at, std::int64_t clicks = 0, MouseButton button = MouseButton::Left)
{
    InputEvent event;
    event.type = type;
    event.position = at;
    event.clickState = clicks;
    event.button = button;
    return event;
}

InputEvent key(Type type, std::uint16_t code, std::uint64_t flags = 0)
{
    InputEvent event;
    event.type = type;
    event.keyCode = code;
    event.flags = flags;
    return event;
}

std::vector<InputEvent> pressed(std::uint16_t code)
{
    return {key(Type::KeyDown, code), key(Type::KeyUp, code)};
}

std::vector<InputEvent> typed(std::u16string text)
{
    InputEvent down;
    down.type = Type::KeyDown;
    down.text = text;
    InputEvent up = down;
    up.type = Type::KeyUp;
    return {down, up};
}

std::vector<InputEvent> operator+(std::vector<InputEvent> first, const std::vector<InputEvent>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

void PrintTo(const InputEvent& event, std::ostream* out)
{
    *out << "{type " << int(event.type) << " at " << event.position.x() << "," << event.position.y()
         << " button " << int(event.button) << " clicks " << event.clickState << " key " << event.keyCode
         << " text " << QString::fromStdU16String(event.text).toStdString() << " flags " << std::hex
         << event.flags << std::dec << " wheel " << event.wheelVertical << "," << event.wheelHorizontal
         << "}";
}

TEST_F(Injector, PointerPositionsAreClampedToTheLastPixelOfTheDisplay)
{
    EXPECT_EQ(handle(R"({"t":"m","x":1,"y":1})"), (std::vector{mouse(Type::MouseMoved, {1439, 899})}));
    EXPECT_EQ(handle(R"({"t":"m","x":-0.3,"y":7})"), (std::vector{mouse(Type::MouseMoved, {0, 899})}));
    EXPECT_EQ(handle(R"({"t":"m","x":0,"y":0.5})"), (std::vector{mouse(Type::MouseMoved, {0, 449.5})}));

    // A display left of the main one.
    injector.displayBounds = QRectF(-1920, 0, 1920, 1080);
    EXPECT_EQ(handle(R"({"t":"m","x":0.5,"y":0})"), (std::vector{mouse(Type::MouseMoved, {-960.5, 0})}));

    // No display shown yet, or a position missing: nothing.
    EXPECT_TRUE(handle(R"({"t":"m","x":0.5})").empty());
    EXPECT_TRUE(handle(R"({"t":"d","y":0.5})").empty());
    injector.displayBounds = QRectF();
    EXPECT_TRUE(handle(R"({"t":"m","x":0.5,"y":0.5})").empty());
    EXPECT_TRUE(handle(R"({"t":"d","x":0.5,"y":0.5})").empty());
    EXPECT_FALSE(injector.isLeftDown());

    // Found by fuzzing: a display with width but no height put the pointer a pixel above it, and
    // one narrower than a pixel left of it.
    injector.displayBounds = QRectF(-1280, 200, 1280, 0);
    EXPECT_TRUE(handle(R"({"t":"m","x":0.5,"y":0.5})").empty());
    injector.displayBounds = QRectF(10, 20, 0.5, 0.5);
    EXPECT_EQ(handle(R"({"t":"m","x":1,"y":1})"), (std::vector{mouse(Type::MouseMoved, {10, 20})}));
}

TEST_F(Injector, MovesWhileAButtonIsHeldAreDrags)
{
    handle(R"({"t":"d","x":0,"y":0})");
    EXPECT_EQ(handle(R"({"t":"m","x":1,"y":0})"), (std::vector{mouse(Type::LeftMouseDragged, {1439, 0})}));
    handle(R"({"t":"d","x":1,"y":0,"b":2})");
    // Both held: a left drag.
    EXPECT_EQ(handle(R"({"t":"m","x":1,"y":1})"), (std::vector{mouse(Type::LeftMouseDragged, {1439, 899})}));
    handle(R"({"t":"u","x":1,"y":1})");
    EXPECT_EQ(handle(R"({"t":"m","x":0,"y":1})"),
              (std::vector{mouse(Type::RightMouseDragged, {0, 899}, 0, MouseButton::Right)}));
    handle(R"({"t":"u","x":0,"y":1,"b":2})");
    EXPECT_EQ(handle(R"({"t":"m","x":0,"y":0})"), (std::vector{mouse(Type::MouseMoved, {0, 0})}));
}

TEST_F(Injector, ButtonsCountClicksWithinTheIntervalAndSixPoints)
{
    auto pair = [&](std::int64_t clicks, QPointF point = {719.5, 449.5}) {
        return std::vector{mouse(Type::LeftMouseDown, point, clicks),
                           mouse(Type::LeftMouseUp, point, clicks)};
    };
    EXPECT_EQ(handle({R"({"t":"d","x":0.5,"y":0.5,"b":0})", R"({"t":"u","x":0.5,"y":0.5,"b":0})"}), pair(1));
    now += 0.2;
    EXPECT_EQ(handle({R"({"t":"d","x":0.5,"y":0.5})", R"({"t":"u","x":0.5,"y":0.5})"}), pair(2));
    now += 0.4;
    EXPECT_EQ(handle({R"({"t":"d","x":0.5,"y":0.5})", R"({"t":"u","x":0.5,"y":0.5})"}), pair(3));
    // The interval passed: a new sequence.
    now += 0.5;
    EXPECT_EQ(handle({R"({"t":"d","x":0.5,"y":0.5})", R"({"t":"u","x":0.5,"y":0.5})"}), pair(1));
    // Exactly six points away: a new sequence; a little less continues it. (On a display 1025
    // pixels wide, x = n / 1024 lands on pixel n.)
    injector.displayBounds = QRectF(0, 0, 1025, 1025);
    now += 0.1;
    EXPECT_EQ(handle(R"({"t":"d","x":0.5,"y":0.5})")[0].clickState, 1); // 512: elsewhere
    now += 0.1;
    EXPECT_EQ(handle(R"({"t":"d","x":0.505859375,"y":0.5})")[0].clickState, 1); // 518: 6 away
    now += 0.1;
    EXPECT_EQ(handle(R"({"t":"d","x":0.5,"y":0.5})")[0].clickState, 1);
    now += 0.1;
    EXPECT_EQ(handle(R"({"t":"d","x":0.5057373046875,"y":0.5})")[0].clickState, 2); // 517.875
    now += 0.1;
    EXPECT_EQ(handle(R"({"t":"d","x":0.5057373046875,"y":0.5,"b":2})")[0].clickState, 3);
    // A right button after a left one continues the sequence, and presses the right button.
    const std::vector<InputEvent> right = handle(R"({"t":"u","x":0.5057373046875,"y":0.5,"b":2})");
    ASSERT_EQ(right.size(), 1u);
    EXPECT_EQ(right[0].type, Type::RightMouseUp);
    EXPECT_EQ(right[0].button, MouseButton::Right);
    EXPECT_EQ(right[0].clickState, 3);
}

TEST_F(Injector, AnyButtonButTwoIsTheLeftOneAndAnUpNeedsNoDown)
{
    EXPECT_EQ(handle(R"({"t":"u","x":0,"y":0})"), (std::vector{mouse(Type::LeftMouseUp, {0, 0}, 1)}));
    EXPECT_FALSE(injector.isLeftDown());
    EXPECT_EQ(handle(R"({"t":"d","x":0,"y":0,"b":1})"), (std::vector{mouse(Type::LeftMouseDown, {0, 0}, 1)}));
    EXPECT_TRUE(injector.isLeftDown());
    EXPECT_EQ(handle(R"({"t":"d","x":0,"y":0,"b":7})")[0].type, Type::LeftMouseDown);
    EXPECT_EQ(handle(R"({"t":"d","x":0,"y":0,"b":-2})")[0].type, Type::LeftMouseDown);
    EXPECT_FALSE(injector.isRightDown());
}

TEST_F(Injector, WheelValuesAreNegatedAndTruncatedTowardZero)
{
    auto wheel = [](std::int32_t vertical, std::int32_t horizontal) {
        InputEvent event;
        event.type = Type::ScrollWheel;
        event.wheelVertical = vertical;
        event.wheelHorizontal = horizontal;
        return std::vector{event};
    };
    EXPECT_EQ(handle(R"({"t":"w","dy":12.9})"), wheel(-12, 0));
    EXPECT_EQ(handle(R"({"t":"w","dx":-3.7,"dy":-40})"), wheel(40, 3));
    EXPECT_EQ(handle(R"({"t":"w"})"), wheel(0, 0));
    // The largest values that fit, and beyond them nothing.
    EXPECT_EQ(handle(R"({"t":"w","dx":2147483648.9,"dy":-2147483647.5})"),
              wheel(std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()));
    EXPECT_TRUE(handle(R"({"t":"w","dx":-1e300,"dy":1})").empty());
    EXPECT_TRUE(handle(R"({"t":"w","dy":2147483649})").empty());
    // The pointer needs no display for the wheel.
    injector.displayBounds = QRectF();
    EXPECT_EQ(handle(R"({"t":"w","dy":1})"), wheel(-1, 0));
}

TEST_F(Injector, NamedKeysArePressedAndOtherWordsTyped)
{
    EXPECT_EQ(handle(R"({"t":"k","k":"Enter"})"), pressed(36));
    EXPECT_EQ(handle(R"({"t":"k","k":"ArrowUp"})"), pressed(126));
    EXPECT_EQ(handle(R"({"t":"k","k":"Delete"})"), pressed(117));
    EXPECT_EQ(handle(R"({"t":"k","k":"Shift"})"),
              typed(u"S") + typed(u"h") + typed(u"i") + typed(u"f") + typed(u"t"));
    EXPECT_EQ(handle(R"({"t":"k","k":"F5"})"), typed(u"F") + typed(u"5"));
    EXPECT_EQ(handle(R"({"t":"k","k":"a"})"), typed(u"a"));
    EXPECT_TRUE(handle(R"({"t":"k"})").empty());
    EXPECT_TRUE(injector.heldKeys().empty());
    EXPECT_EQ(InputInjector::namedKeys().size(), 13);
}

TEST_F(Injector, TextIsTypedCharacterByCharacter)
{
    EXPECT_EQ(handle(R"({"t":"p","s":"a\r\nb"})"), typed(u"a") + pressed(36) + typed(u"b"));
    // Each line break is one Enter.
    EXPECT_EQ(handle(R"({"t":"p","s":"\n\u000b\f\r\u0085\u2028\u2029"})"),
              pressed(36) + pressed(36) + pressed(36) + pressed(36) + pressed(36) + pressed(36) +
                  pressed(36));
    // A flag is one character of four UTF-16 units, as is an emoji with a skin tone; a letter
    // with a combining accent is one character too.
    EXPECT_EQ(handle(R"({"t":"p","s":"🇫🇷"})"), typed(u"🇫🇷"));
    EXPECT_EQ(typed(u"🇫🇷")[0].text.size(), 4u);
    EXPECT_EQ(handle(R"({"t":"p","s":"👍🏽x"})"), typed(u"👍🏽") + typed(u"x"));
    EXPECT_EQ(handle(R"({"t":"p","s":"e\u0301€中"})"), typed(u"e\u0301") + typed(u"€") + typed(u"中"));
    EXPECT_TRUE(handle(R"({"t":"p","s":""})").empty());
    EXPECT_TRUE(handle(R"({"t":"p"})").empty());
}

TEST_F(Injector, PhysicalKeysCarryTheFlagsOfTheHeldModifiers)
{
    const std::vector<InputEvent> events =
        handle({R"({"t":"kc","c":56,"d":true})", R"({"t":"kc","c":0,"d":true})",
                R"({"t":"kc","c":0,"d":false})", R"({"t":"kc","c":56,"d":false})"});
    EXPECT_EQ(events, (std::vector{key(Type::KeyDown, 56, InputEvent::shiftFlag),
                                   key(Type::KeyDown, 0, InputEvent::shiftFlag),
                                   key(Type::KeyUp, 0, InputEvent::shiftFlag), key(Type::KeyUp, 56, 0)}));
    // Every modifier and its right-hand twin.
    handle(R"({"t":"kc","c":54,"d":true})");
    handle(R"({"t":"kc","c":61,"d":true})");
    EXPECT_EQ(
        handle(R"({"t":"kc","c":62,"d":true})"),
        (std::vector{key(Type::KeyDown, 62,
                         InputEvent::commandFlag | InputEvent::alternateFlag | InputEvent::controlFlag)}));
    // Caps Lock is no modifier here.
    EXPECT_EQ(handle(R"({"t":"kc","c":57,"d":true})")[0].flags,
              InputEvent::commandFlag | InputEvent::alternateFlag | InputEvent::controlFlag);
}

TEST_F(Injector, KeyCodesOutsideTheTableAreIgnored)
{
    EXPECT_TRUE(handle(R"({"t":"kc","c":200,"d":true})").empty());
    EXPECT_TRUE(handle(R"({"t":"kc","c":128,"d":true})").empty());
    EXPECT_TRUE(handle(R"({"t":"kc","c":-1,"d":true})").empty());
    EXPECT_TRUE(handle(R"({"t":"kc","c":65592,"d":true})").empty());
    EXPECT_TRUE(handle(R"({"t":"kc","c":5})").empty());
    EXPECT_TRUE(handle(R"({"t":"kc","d":true})").empty());
    EXPECT_TRUE(injector.heldKeys().empty());
    EXPECT_EQ(handle(R"({"t":"kc","c":127,"d":true})"), (std::vector{key(Type::KeyDown, 127)}));
}

TEST_F(Injector, ReleaseAllLetsGoOfKeysThenButtons)
{
    handle(R"({"t":"kc","c":56,"d":true})");
    handle(R"({"t":"kc","c":0,"d":true})");
    handle(R"({"t":"d","x":0.25,"y":0.5,"b":2})");
    handle(R"({"t":"d","x":0.5,"y":0.5})");
    handle(R"({"t":"m","x":1,"y":1})");
    // The key released first carries the flag of the modifier still held.
    EXPECT_EQ(handle(R"({"t":"c"})"),
              (std::vector{key(Type::KeyUp, 0, InputEvent::shiftFlag), key(Type::KeyUp, 56, 0),
                           mouse(Type::LeftMouseUp, {1439, 899}, 1),
                           mouse(Type::RightMouseUp, {1439, 899}, 1, MouseButton::Right)}));
    EXPECT_TRUE(injector.heldKeys().empty());
    EXPECT_FALSE(injector.isLeftDown());
    EXPECT_FALSE(injector.isRightDown());
    // Nothing held: nothing to do.
    EXPECT_TRUE(handle(R"({"t":"c"})").empty());
}

TEST_F(Injector, MalformedMessagesAreDroppedWithoutALogLine)
{
    const QList<QByteArray> dropped{
        "",
        "not json",
        "[1,2]",
        R"("m")",
        R"({"x":0.5,"y":0.5})",
        R"({"t":5})",
        R"({"t":null})",
        R"({"t":"d","x":0.5,"y":0.5,"b":"2"})",
        R"({"t":"d","x":0.5,"y":0.5,"b":1.5})",
        R"({"t":"m","x":"0.5","y":0.5})",
        R"({"t":"kc","c":56,"d":1})",
        R"({"t":"kc","c":true,"d":true})",
        R"({"t":"k","k":36})",
        R"({"t":"p","s":["a"]})",
        R"({"t":"w","dy":"1"})",
        "{\"t\":\"p\",\"s\":\"\xff\xfe\"}",
        R"({"t":"m","x":0.5,"y":0.5)",
    };
    HelperLog::flush();
    const qsizetype linesBefore = Tests::logMessages(HelperLog::path()).size();
    for (const QByteArray& message : dropped) {
        EXPECT_TRUE(handle(message).empty()) << message.constData();
    }
    // Null is absent; keys nobody knows are ignored; an integral number is an integer.
    EXPECT_EQ(handle(R"({"t":"d","x":0,"y":0,"b":null,"extra":[1]})"),
              (std::vector{mouse(Type::LeftMouseDown, {0, 0}, 1)}));
    EXPECT_EQ(handle(R"({"t":"d","x":0,"y":0,"b":2.0})")[0].type, Type::RightMouseDown);
    EXPECT_TRUE(handle(R"({"t":"zz","x":0,"y":0})").empty());

    HelperLog::flush();
    const QStringList lines = Tests::logMessages(HelperLog::path()).mid(linesBefore);
    EXPECT_EQ(lines, (QStringList{u"input d"_s, u"input d"_s, u"input zz"_s}));
}

TEST(InjectorLog, OnlyTheTypeIsLogged)
{
    ASSERT_TRUE(InputInjector::logsInput());
    InputInjector injector(nullptr);
    injector.handle(R"({"t":"p","s":"secret"})");
    injector.handle(R"({"t":"m","x":0.123,"y":0.5})");
    HelperLog::flush();
    const QStringList lines = Tests::logMessages(HelperLog::path());
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.mid(lines.size() - 2), (QStringList{u"input p"_s, u"input m"_s}));
}
