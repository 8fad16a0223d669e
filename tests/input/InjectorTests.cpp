// The injector on a recording sink: the exact events each control message makes, one word an
// event: "move X,Y", "ldown X,Y c2" (with its click count), "rdrag X,Y R" (the right button),
// "+56/shift" and "-56" (a key position down and up, with the modifiers held), "+é" (typed text),
// "wheel V,H".
#include "base/HelperLog.h"
#include "input/InputInjector.h"
#include "tests/support/ControlMessages.h"
#include "tests/support/LogReader.h"
#include "tests/support/QtPrinting.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;
using Type = InputEvent::Type;

namespace {

QString describe(const InputEvent& e)
{
    static const char* const mouse[] = {"", "ldown", "lup", "rdown", "rup", "move", "ldrag", "rdrag"};
    if (e.isMouse()) {
        return u"%1 %2,%3"_s.arg(QLatin1String(mouse[int(e.type)])).arg(e.position.x()).arg(e.position.y()) +
               (e.clickState ? u" c"_s + QString::number(e.clickState) : QString()) +
               (e.button == InputEvent::MouseButton::Right ? u" R"_s : QString());
    }
    if (!e.isKey()) {
        return u"wheel %1,%2"_s.arg(e.wheelVertical).arg(e.wheelHorizontal);
    }
    const auto flag = [&](std::uint64_t mask, const char* name) {
        return QLatin1String(e.flags & mask ? name : "");
    };
    return (e.type == Type::KeyDown ? u"+"_s : u"-"_s) +
           (e.text.empty() ? QString::number(e.keyCode) : QString::fromStdU16String(e.text)) +
           flag(InputEvent::shiftFlag, "/shift") + flag(InputEvent::controlFlag, "/ctrl") +
           flag(InputEvent::alternateFlag, "/alt") + flag(InputEvent::commandFlag, "/cmd");
}

struct Recorder : EventSink {
    void post(const InputEvent& event) override { events.append(describe(event)); }
    QStringList events;
};

class Injector : public ::testing::Test, protected Tests::Control {
protected:
    Injector()
    {
        injector.uptime = [this] { return now; };
        injector.doubleClickInterval = [] { return 0.5; };
        injector.displayBounds = QRectF(0, 0, 1440, 900);
    }

    // The messages in order; the events they made.
    QString handle(const std::vector<QByteArray>& messages)
    {
        for (const QByteArray& message : messages) {
            injector.handle(message);
        }
        return std::exchange(recorder->events, {}).join(u' ');
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    InputInjector injector{recorder, true};
    double now = 100;
};

} // namespace

TEST_F(Injector, PointerPositionsLandOnTheDisplaysPixelsUpToTheLastOne)
{
    EXPECT_EQ(handle({m(1, 1), m(-0.3, 7), m(0, 0.5)}), u"move 1439,899 move 0,899 move 0,449.5"_s);
    EXPECT_EQ(handle({R"({"t":"m","x":0.5})", R"({"t":"d","y":0.5})"}), u""_s) << "a position missing";
    injector.displayBounds = QRectF(-1920, 0, 1920, 1080);
    EXPECT_EQ(handle({m(0.5, 0)}), u"move -960.5,0"_s);
    injector.displayBounds = QRectF(10, 20, 0.5, 0.5);
    EXPECT_EQ(handle({m(1, 1)}), u"move 10,20"_s) << "narrower than a pixel: only its first";
    for (const QRectF& display : {QRectF(), QRectF(-1280, 200, 1280, 0)}) {
        injector.displayBounds = display;
        EXPECT_EQ(handle({m(0.5, 0.5), d(0.5, 0.5)}), u""_s) << "no display shown yet, or one without height";
    }
    EXPECT_FALSE(injector.isLeftDown());
}

TEST_F(Injector, ButtonsAndDragsFollowWhatIsHeld)
{
    EXPECT_EQ(handle({u(0, 0)}), u"lup 0,0 c1"_s) << "an up needs no down";
    EXPECT_EQ(handle({d(0, 0), m(1, 0)}), u"ldown 0,0 c1 ldrag 1439,0"_s);
    EXPECT_EQ(handle({d(1, 0, 2), m(1, 1)}), u"rdown 1439,0 c1 R ldrag 1439,899"_s)
        << "both held: a left drag";
    EXPECT_EQ(handle({u(1, 1), m(0, 1)}), u"lup 1439,899 c1 rdrag 0,899 R"_s);
    EXPECT_EQ(handle({u(0, 1, 2), m(0, 0)}), u"rup 0,899 c1 R move 0,0"_s);
    // Null is absent, an integral number is an integer, any button but 2 is the left one.
    EXPECT_EQ(handle({R"({"t":"u","x":0,"y":0,"b":null,"extra":[1]})", R"({"t":"u","x":0,"y":0,"b":2.0})",
                      u(0, 0, 7), u(0, 0, -2)}),
              u"lup 0,0 c1 rup 0,0 c1 R lup 0,0 c1 lup 0,0 c1"_s);
}

TEST_F(Injector, PressesCountClicksWithinTheIntervalAndUnderSixPoints)
{
    injector.displayBounds = QRectF(0, 0, 1025, 1025); // x = n / 1024 lands on pixel n
    // Seconds since the last press, the pixel pressed, the button, its click count.
    const std::tuple<double, double, int, int> presses[] = {
        {0, 512, 0, 1},   {0.2, 512, 0, 2}, {0.4, 512, 0, 3},     {0.5, 512, 0, 1},
        {0.1, 518, 0, 1}, {0.1, 512, 0, 1}, {0.1, 517.875, 0, 2}, {0.1, 517.875, 2, 3}};
    for (const auto& [after, pixel, button, clicks] : presses) {
        now += after;
        const QString at = u" %1,512 c%2"_s.arg(pixel).arg(clicks) + (button == 2 ? u" R"_s : u""_s);
        EXPECT_EQ(handle({d(pixel / 1024, 0.5, button), u(pixel / 1024, 0.5, button)}),
                  (button == 2 ? u"rdown"_s + at + u" rup"_s : u"ldown"_s + at + u" lup"_s) + at)
            << "after " << after << " s";
    }
}

TEST_F(Injector, WheelPixelsAreNegatedAndTruncatedTowardZero)
{
    injector.displayBounds = QRectF(); // the wheel needs no display
    EXPECT_EQ(handle({w(0, 12.9), w(-3.7, -40), R"({"t":"w"})"}), u"wheel -12,0 wheel 40,3 wheel 0,0"_s);
    EXPECT_EQ(handle({w(2147483648.9, -2147483647.5)}), u"wheel 2147483647,-2147483648"_s);
    EXPECT_EQ(handle({w(-1e300, 1), w(0, 2147483649)}), u""_s);
}

TEST_F(Injector, NamedKeysArePressedAndUnknownNamesAndTextTypedCharacterByCharacter)
{
    EXPECT_EQ(handle({k(u"Shift"_s), k(u"a"_s), R"({"t":"k"})", k(u"ArrowLeft"_s)}),
              u"+S -S +h -h +i -i +f -f +t -t +a -a +123 -123"_s);
    EXPECT_EQ(handle({p(u"a\r\nb"_s)}), u"+a -a +36 -36 +b -b"_s);
    EXPECT_EQ(handle({p(u"\n\u000b\f\r\u0085\u2028\u2029"_s)}), u"+36 -36 "_s.repeated(6) + u"+36 -36"_s);
    // A flag, an emoji with a skin tone, a letter with a combining accent: one character each.
    EXPECT_EQ(handle({p(u"🇫🇷👍🏽e\u0301€中"_s)}),
              u"+🇫🇷 -🇫🇷 +👍🏽 -👍🏽 +e\u0301 -e\u0301 +€ -€ +中 -中"_s);
    EXPECT_EQ(handle({p(QString()), R"({"t":"p"})"}), u""_s);
}

TEST_F(Injector, KeyPositionsCarryTheHeldModifiersAndReleaseAllLetsGoOfKeysThenButtons)
{
    EXPECT_EQ(handle({kc(56, true), kc(0, true), kc(0, false), kc(56, false)}),
              u"+56/shift +0/shift -0/shift -56"_s);
    // Every modifier's right-hand twin; Caps Lock is none.
    EXPECT_EQ(
        handle({kc(54, true), kc(61, true), kc(62, true), kc(57, true), c()}),
        u"+54/cmd +61/alt/cmd +62/ctrl/alt/cmd +57/ctrl/alt/cmd -54/ctrl/alt -57/ctrl/alt -61/ctrl -62"_s);
    // Codes outside 0…127 and incomplete messages are ignored.
    EXPECT_EQ(handle({kc(128, true), kc(200, true), kc(-1, true), kc(65592, true), R"({"t":"kc","c":5})",
                      R"({"t":"kc","d":true})"}),
              u""_s);
    EXPECT_EQ(handle({kc(56, true), kc(0, true), kc(127, true), d(0.25, 0.5, 2), d(0.5, 0.5), m(1, 1)}),
              u"+56/shift +0/shift +127/shift rdown 359.75,449.5 c1 R ldown 719.5,449.5 c1 ldrag 1439,899"_s);
    // Keys first (one released while Shift is still held carries its flag), then buttons.
    EXPECT_EQ(handle({c()}), u"-0/shift -56 -127 lup 1439,899 c1 rup 1439,899 c1 R"_s);
    EXPECT_EQ(handle({c()}), u""_s);
}

TEST_F(Injector, MalformedMessagesAreDroppedAndOnlyTheTypeIsLogged)
{
    HelperLog::flush();
    const qsizetype before = Tests::logMessages(HelperLog::path()).size();
    EXPECT_EQ(handle({"not json", "[1,2]", R"({"x":0.5,"y":0.5})", R"({"t":null})",
                      R"({"t":"d","x":0.5,"y":0.5,"b":"2"})", R"({"t":"d","x":0.5,"y":0.5,"b":1.5})",
                      R"({"t":"m","x":"0.5","y":0.5})", R"({"t":"kc","c":56,"d":1})",
                      R"({"t":"kc","c":true,"d":true})", R"({"t":"k","k":36})", R"({"t":"p","s":["a"]})",
                      R"({"t":"w","dy":"1"})", "{\"t\":\"p\",\"s\":\"\xff\xfe\"}"}),
              u""_s);
    handle({R"({"t":"zz","x":0,"y":0})", p(u"secret"_s)});
    InputInjector(recorder).handle(m(0.5, 0.5)); // without the flag, nothing is logged
    HelperLog::flush();
    EXPECT_EQ(Tests::logMessages(HelperLog::path()).mid(before), (QStringList{u"input zz"_s, u"input p"_s}));
}
