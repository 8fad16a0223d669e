// The XTest sink on a real Xvfb, observed by a separate X client: the injector's events arrive
// as the pointer, button and key events an X program receives.
#include "input/InputInjector.h"
#include "platform/x11/X11Monitors.h"
#include "platform/x11/X11Settings.h"
#include "platform/x11/XTestEventSink.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/QtPrinting.h"
#include "tests/support/X11Observer.h"

#include <QtEndian>

#include <gtest/gtest.h>
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Kind = X11Observer::Event::Kind;

namespace {

struct Rig {
    explicit Rig(const QByteArray& display)
        : observer(display)
        , sink(std::make_shared<XTestEventSink>(display))
        , injector(sink)
    {
        injector.displayBounds = QRectF(0, 0, 1920, 1080);
    }

    // Handles the messages and waits until the sink has sent everything and the observer has
    // seen it arrive (the server answers a request only after the ones before it).
    void handle(std::initializer_list<QByteArrayView> messages)
    {
        for (const QByteArrayView message : messages) {
            injector.handle(message);
        }
        settle();
    }
    void settle()
    {
        EXPECT_TRUE(Tests::waitUntil([&] { return sink->isIdle(); }, 10s));
        sink->sync();
        observer.sync();
    }

    X11Observer observer;
    std::shared_ptr<XTestEventSink> sink;
    InputInjector injector;
};

// Sets the display's keyboard layout with setxkbmap; the US layout again when it goes.
struct KeyboardLayout {
    QByteArray display;
    X11Observer& observer;
    KeyboardLayout(QByteArray name, X11Observer& watching) : display(std::move(name)), observer(watching) {}
    ~KeyboardLayout() { set({u"-layout"_s, u"us"_s}); }
    void set(const QStringList& arguments)
    {
        Tests::Child setxkbmap;
        setxkbmap.start(u"setxkbmap"_s, QStringList{u"-display"_s, QString::fromLatin1(display)} + arguments);
        ASSERT_TRUE(setxkbmap.wait(10s));
        ASSERT_EQ(setxkbmap.exitCode(), 0) << setxkbmap.errors().constData();
        observer.sync();
    }
};

std::vector<std::uint32_t> keysymsOf(const std::vector<X11Observer::Event>& events)
{
    std::vector<std::uint32_t> keysyms;
    for (const auto& event : events) {
        if (event.kind == Kind::KeyPress) {
            keysyms.push_back(event.keysym);
        }
    }
    return keysyms;
}

} // namespace

TEST(XTest, IsAvailableOnXvfbAndNotWithoutAServer)
{
    EXPECT_TRUE(XTestEventSink::isAvailable(":1"));
    EXPECT_FALSE(XTestEventSink::isAvailable(":37"));
    XTestEventSink nowhere(":37");
    EXPECT_FALSE(nowhere.isConnected());
    InputEvent event;
    nowhere.post(event); // nothing to post to, nothing happens
    EXPECT_TRUE(nowhere.isIdle());
}

TEST(XTest, ThePointerLandsOnTheExactPixelOnEachMonitor)
{
    Rig rig(":2");
    ASSERT_TRUE(rig.observer.isConnected());
    xcb_connection_t* connection = xcb_connect(":2", nullptr);
    const auto monitors =
        X11Monitors::read(connection, xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root);
    xcb_disconnect(connection);
    ASSERT_TRUE(monitors);
    ASSERT_EQ(monitors->size(), 2u);
    for (const X11Monitor& monitor : *monitors) {
        rig.injector.displayBounds = QRectF(monitor.rect);
        for (const double fraction : {0.0, 0.5, 1.0}) {
            const QByteArray message = R"({"t":"m","x":)" + QByteArray::number(fraction) + R"(,"y":)" +
                                       QByteArray::number(fraction) + "}";
            rig.handle({message});
            const QPoint expected(monitor.rect.x() + int(std::floor(fraction * (monitor.rect.width() - 1))),
                                  monitor.rect.y() + int(std::floor(fraction * (monitor.rect.height() - 1))));
            EXPECT_EQ(rig.observer.pointer(), expected) << monitor.name.toStdString() << " at " << fraction;
        }
    }
}

TEST(XTest, ALeftDragIsPressMotionWithTheButtonAndRelease)
{
    Rig rig(":1");
    rig.handle({R"({"t":"m","x":0.1,"y":0.1})"});
    rig.observer.take();
    rig.handle(
        {R"({"t":"d","x":0.1,"y":0.1})", R"({"t":"m","x":0.3,"y":0.2})", R"({"t":"u","x":0.3,"y":0.2})"});
    // The pointer may be moved to where the button goes down first; after that, the drag: every
    // motion with the button held, one of them to where it ends.
    auto events = rig.observer.take();
    while (!events.empty() && events.front().kind == Kind::Motion) {
        events.erase(events.begin());
    }
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().kind, Kind::ButtonPress);
    EXPECT_EQ(events.front().detail, 1);
    EXPECT_EQ(events.back().kind, Kind::ButtonRelease);
    EXPECT_EQ(events.back().detail, 1);
    bool reachedTheEnd = false;
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, Kind::Motion);
        EXPECT_TRUE(events[i].state & XCB_BUTTON_MASK_1);
        reachedTheEnd = reachedTheEnd || (events[i].x == 575 && events[i].y == 215);
    }
    EXPECT_TRUE(reachedTheEnd);
    EXPECT_EQ(rig.observer.pointerButtons(), 0);

    // The right button is button 3.
    rig.handle({R"({"t":"d","x":0.3,"y":0.2,"b":2})"});
    EXPECT_EQ(rig.observer.pointerButtons(), XCB_BUTTON_MASK_3);
    rig.handle({R"({"t":"u","x":0.3,"y":0.2,"b":2})"});
    EXPECT_EQ(rig.observer.pointerButtons(), 0);
}

TEST(XTest, WheelPixelsBecomeClicksOfButtonsFourToSeven)
{
    Rig rig(":1");
    rig.handle({R"({"t":"m","x":0.5,"y":0.5})"});
    rig.observer.take();
    auto clicks = [&](std::initializer_list<QByteArrayView> messages) {
        rig.handle(messages);
        std::vector<int> buttons;
        for (const auto& event : rig.observer.take()) {
            if (event.kind == Kind::ButtonPress) {
                buttons.push_back(event.detail);
            }
        }
        return buttons;
    };
    // The phone's dy = 100 scrolls down: 100 pixels are two clicks and 20 left over.
    EXPECT_EQ(clicks({R"({"t":"w","dy":100})"}), (std::vector{5, 5}));
    EXPECT_EQ(clicks({R"({"t":"w","dy":20})"}), (std::vector{5}));
    // Turning back starts afresh: 10 pixels up are not yet a click, 30 more are.
    EXPECT_EQ(clicks({R"({"t":"w","dy":-10})"}), std::vector<int>{});
    EXPECT_EQ(clicks({R"({"t":"w","dy":-30})"}), (std::vector{4}));
    // Horizontal: the phone's dx = 40 scrolls right, −80 left.
    EXPECT_EQ(clicks({R"({"t":"w","dx":40})"}), (std::vector{7}));
    EXPECT_EQ(clicks({R"({"t":"w","dx":-80})"}), (std::vector{6, 6}));
    // Pixels short of a click are dropped once the wheel has rested.
    EXPECT_EQ(clicks({R"({"t":"w","dy":30})"}), std::vector<int>{});
    Tests::spin(XTestEventSink::wheelRest + 100ms);
    EXPECT_EQ(clicks({R"({"t":"w","dy":20})"}), std::vector<int>{});
    // A huge distance is bounded.
    EXPECT_EQ(clicks({R"({"t":"w","dy":1e9})"}).size(), std::size_t(XTestEventSink::maximumWheelClicks));
    EXPECT_EQ(rig.observer.pointerButtons(), 0);
}

TEST(XTest, ShiftAndTheAKeyTypeACapitalA)
{
    Rig rig(":1");
    rig.handle({R"({"t":"kc","c":56,"d":true})", R"({"t":"kc","c":0,"d":true})",
                R"({"t":"kc","c":0,"d":false})", R"({"t":"kc","c":56,"d":false})"});
    const auto events = rig.observer.take();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].keysym, 0xFFE1u); // Shift_L
    EXPECT_EQ(events[1].kind, Kind::KeyPress);
    EXPECT_EQ(events[1].keysym, std::uint32_t('A'));
    EXPECT_TRUE(events[1].state & XCB_MOD_MASK_SHIFT);
    EXPECT_EQ(events[3].kind, Kind::KeyRelease);
    EXPECT_TRUE(rig.observer.keysDown().empty());

    // Digits, punctuation, function keys, editing keys: the key in the same place. Command is
    // Control, this desktop's shortcut key; Option is Alt.
    for (const auto& [code, keysym] : std::vector<std::pair<int, std::uint32_t>>{{18, '1'},
                                                                                 {29, '0'},
                                                                                 {27, '-'},
                                                                                 {42, '\\'},
                                                                                 {50, '`'},
                                                                                 {122, 0xFFBE},
                                                                                 {111, 0xFFC9},
                                                                                 {51, 0xFF08},
                                                                                 {53, 0xFF1B},
                                                                                 {115, 0xFF50},
                                                                                 {55, 0xFFE3},
                                                                                 {54, 0xFFE4},
                                                                                 {58, 0xFFE9},
                                                                                 {59, 0xFFE3}}) {
        const QByteArray number = QByteArray::number(code);
        rig.handle({R"({"t":"kc","c":)" + number + R"(,"d":true})",
                    R"({"t":"kc","c":)" + number + R"(,"d":false})"});
        EXPECT_EQ(keysymsOf(rig.observer.take()), std::vector<std::uint32_t>{keysym}) << "key code " << code;
    }
    EXPECT_TRUE(rig.observer.keysDown().empty());

    // Named keys: Enter and the arrows are their X keys.
    rig.handle({R"({"t":"k","k":"Enter"})", R"({"t":"k","k":"ArrowLeft"})", R"({"t":"k","k":"Delete"})"});
    EXPECT_EQ(keysymsOf(rig.observer.take()), (std::vector<std::uint32_t>{0xFF0D, 0xFF51, 0xFFFF}));
}

TEST(XTest, TextArrivesAsItsCharactersAndTheMappingIsRestored)
{
    Rig rig(":1");
    const std::vector<std::uint32_t> before = rig.observer.keyboardMapping();
    rig.handle({R"({"t":"p","s":"héllo €中😀"})"});
    EXPECT_EQ(X11Observer::textOf(rig.observer.take()), u"héllo €中😀"_s);
    EXPECT_EQ(rig.observer.keyboardMapping(), before);
    EXPECT_TRUE(rig.observer.keysDown().empty());

    // Capitals and punctuation on the second level come with Shift; a tab is the Tab key.
    rig.handle({R"({"t":"p","s":"Hi!\t\n"})"});
    const auto events = rig.observer.take();
    EXPECT_EQ(keysymsOf(events), (std::vector<std::uint32_t>{0xFFE1, 'H', 'i', 0xFFE1, '!', 0xFF09, 0xFF0D}));
}

TEST(XTest, KeysGoByPlaceAndTextByCharacterWhateverTheLayoutAndLocks)
{
    Rig rig(":1");
    KeyboardLayout layout(":1", rig.observer);
    auto text = [&](std::initializer_list<QByteArrayView> messages) {
        rig.handle(messages);
        return X11Observer::textOf(rig.observer.take());
    };
    const auto press = [](int code) {
        const QByteArray number = QByteArray::number(code);
        return std::pair{R"({"t":"kc","c":)" + number + R"(,"d":true})",
                         R"({"t":"kc","c":)" + number + R"(,"d":false})"};
    };
    const auto [zDown, zUp] = press(6);
    const auto [yDown, yUp] = press(16);
    const auto [minusDown, minusUp] = press(27);
    const auto [capsDown, capsUp] = press(57);
    const auto [hDown, hUp] = press(4);

    // German: the keys in the places of Z, Y and - type what the layout puts there; text is text.
    layout.set({u"de"_s});
    EXPECT_EQ(text({zDown, zUp, yDown, yUp, minusDown, minusUp}), u"yzß"_s);
    EXPECT_EQ(text({R"({"t":"p","s":"zy-@"})"}), u"zy-@"_s);

    // Caps Lock: keys follow it, text does not, and the lock stays on.
    EXPECT_EQ(text({capsDown, capsUp, hDown, hUp}), u"H"_s);
    EXPECT_EQ(text({R"({"t":"p","s":"Hello ä"})", R"({"t":"k","k":"x"})"}), u"Hello äx"_s);
    EXPECT_EQ(text({hDown, hUp, capsDown, capsUp, hDown, hUp}), u"Hh"_s);

    // English and Russian with the Russian group active: Latin text stays Latin.
    layout.set({u"-layout"_s, u"us,ru"_s});
    {
        X11Keymap keymap(":1");
        ASSERT_TRUE(keymap.isValid());
        xcb_connection_t* connection = xcb_connect(":1", nullptr);
        xkb_x11_setup_xkb_extension(connection, 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr,
                                    nullptr, nullptr);
        xcb_xkb_latch_lock_state(connection, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1, 1, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        xcb_disconnect(connection);
        ASSERT_EQ(keymap.state()->group, 1);
    }
    EXPECT_EQ(text({hDown, hUp}), u"р"_s) << "the key in the place of H, in the Russian group";
    EXPECT_EQ(text({R"({"t":"p","s":"hi пр"})"}), u"hi пр"_s);
    EXPECT_TRUE(rig.observer.keysDown().empty());
}

TEST(XTest, ManyCharactersWithoutKeysAllArriveInOrder)
{
    Rig rig(":1");
    const std::vector<std::uint32_t> before = rig.observer.keyboardMapping();
    QString text;
    std::vector<std::uint32_t> expected;
    for (char32_t character = 0x4E00; character < 0x4E00 + 120; ++character) {
        text += QString::fromUcs4(&character, 1);
        expected.push_back(0x01000000 + character);
    }
    rig.handle({(u"{\"t\":\"p\",\"s\":\""_s + text + u"\"}"_s).toUtf8()});
    EXPECT_EQ(keysymsOf(rig.observer.take()), expected);
    EXPECT_EQ(rig.observer.keyboardMapping(), before);
}

TEST(XTest, ReleaseAllLeavesNoKeyOrButtonDown)
{
    Rig rig(":1");
    rig.handle({R"({"t":"kc","c":56,"d":true})", R"({"t":"kc","c":59,"d":true})",
                R"({"t":"kc","c":0,"d":true})", R"({"t":"kc","c":105,"d":true})",
                R"({"t":"d","x":0.5,"y":0.5})", R"({"t":"d","x":0.5,"y":0.5,"b":2})"});
    EXPECT_EQ(rig.observer.keysDown().size(), 4u);
    EXPECT_EQ(rig.observer.pointerButtons(), XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_3);
    rig.handle({R"({"t":"c"})"});
    EXPECT_TRUE(rig.observer.keysDown().empty());
    EXPECT_EQ(rig.observer.pointerButtons(), 0);
}

TEST(XTest, TheDoubleClickIntervalComesFromTheDesktopSettings)
{
    XTestEventSink sink(":1");
    EXPECT_DOUBLE_EQ(sink.doubleClickInterval(), 0.5);

    // A settings daemon: owns the selection and publishes a string, a colour and the time.
    xcb_connection_t* daemon = xcb_connect(":1", nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(daemon)).data;
    auto atom = [&](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            daemon, xcb_intern_atom(daemon, 0, static_cast<std::uint16_t>(qstrlen(name)), name), nullptr);
        const xcb_atom_t value = reply->atom;
        std::free(reply);
        return value;
    };
    QByteArray settings;
    auto card16 = [&](std::uint16_t value) { settings.append(reinterpret_cast<const char*>(&value), 2); };
    auto card32 = [&](std::uint32_t value) { settings.append(reinterpret_cast<const char*>(&value), 4); };
    auto name = [&](const QByteArray& text) {
        card16(static_cast<std::uint16_t>(text.size()));
        settings.append(text);
        settings.append(QByteArray((4 - text.size() % 4) % 4, '\0'));
        card32(0); // last change
    };
    settings.append(QByteArray(1, QSysInfo::ByteOrder == QSysInfo::LittleEndian ? '\0' : '\1'));
    settings.append(QByteArray(3, '\0'));
    card32(7);
    card32(3);
    settings.append(QByteArray("\x01\0", 2));
    name("Net/ThemeName");
    card32(5);
    settings.append(QByteArray("Adw\0\0\0\0\0", 8));
    settings.append(QByteArray("\x02\0", 2));
    name("Gtk/Colour");
    card32(0);
    card32(0);
    settings.append(QByteArray("\0\0", 2));
    name("Net/DoubleClickTime");
    card32(250);

    const xcb_window_t owner = xcb_generate_id(daemon);
    xcb_create_window(daemon, XCB_COPY_FROM_PARENT, owner, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t settingsAtom = atom("_XSETTINGS_SETTINGS");
    xcb_change_property(daemon, XCB_PROP_MODE_REPLACE, owner, settingsAtom, settingsAtom, 8,
                        static_cast<std::uint32_t>(settings.size()), settings.constData());
    xcb_set_selection_owner(daemon, owner, atom("_XSETTINGS_S0"), XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(daemon, xcb_get_input_focus(daemon), nullptr));

    EXPECT_DOUBLE_EQ(sink.doubleClickInterval(), 0.25);
    EXPECT_EQ(X11Settings::integerIn(settings, "Net/DoubleClickTime"), 250);
    EXPECT_EQ(X11Settings::integerIn(settings, "Net/ThemeName"), std::nullopt);
    // Cut short anywhere: nothing, and nothing read past the end.
    for (qsizetype length = 0; length < settings.size(); ++length) {
        EXPECT_EQ(X11Settings::integerIn(settings.left(length), "Net/DoubleClickTime"), std::nullopt)
            << length;
    }
    xcb_disconnect(daemon);
}
