// The X11 backends on the test machine's Xvfb displays (:1 one monitor, :2 two side by side):
// the displays and their capture, drawn on by a separate X client; XTest input, observed by one.
#include "input/InputInjector.h"
#include "media/ScreenCapture.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/X11Settings.h"
#include "platform/x11/XTestEventSink.h"
#include "platform/x11/XcbReply.h"
#include "tests/support/Child.h"
#include "tests/support/ControlMessages.h"
#include "tests/support/EventLoop.h"
#include "tests/support/X11Observer.h"
#include "tests/support/X11Painter.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <numeric>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

void run(const QString& program, const QStringList& arguments)
{
    Tests::Child child;
    child.start(program, arguments);
    ASSERT_TRUE(child.wait(10s) && child.exitCode() == 0) << child.errors().constData();
}

// A picture in words: its size and the colour at its centre (BT.601, video range, give or take 2).
QString summary(const PixelBuffer& picture)
{
    const int cx = picture.width() / 2;
    const int cy = picture.height() / 2;
    const int y = picture.luma()[cy * picture.lumaStride() + cx];
    const std::uint8_t* uv = picture.chroma() + (cy / 2) * picture.chromaStride() + (cx & ~1);
    static const std::tuple<const char*, int, int, int> colours[] = {
        {"black", 16, 128, 128}, {"red", 81, 90, 240}, {"green", 145, 54, 34}, {"blue", 41, 240, 110}};
    QString colour = u"%1,%2,%3"_s.arg(y).arg(uv[0]).arg(uv[1]);
    for (const auto& [name, Y, U, V] : colours) {
        colour = std::max({std::abs(y - Y), std::abs(uv[0] - U), std::abs(uv[1] - V)}) <= 2
                     ? QString::fromLatin1(name)
                     : colour;
    }
    return u"%1x%2 "_s.arg(picture.width()).arg(picture.height()) + colour;
}

// The injector on an XTest sink, showing the second of two monitors (right of the first on the
// root window), and an X client watching.
class XTest : public ::testing::Test, protected Tests::Control {
protected:
    XTest() { injector.displayBounds = QRectF(1920, 0, 1920, 1080); }

    // Handles the messages; every event they made, once sent and seen.
    std::vector<X11Observer::Event> handle(const std::vector<QByteArray>& messages)
    {
        for (const QByteArray& message : messages) {
            injector.handle(message);
        }
        EXPECT_TRUE(Tests::waitUntil([&] { return sink->isIdle(); }, 10s));
        sink->sync();
        return observer.take();
    }
    // The characters of the key presses they made.
    QString text(const std::vector<QByteArray>& messages)
    {
        QString text;
        for (const auto& event : handle(messages)) {
            if (event.type == XCB_KEY_PRESS && event.character != 0) {
                text += QString::fromUcs4(&event.character, 1);
            }
        }
        return text;
    }
    // The key presses (their keysyms' names) and button presses (their numbers) in order.
    QString presses(const std::vector<QByteArray>& messages)
    {
        QStringList presses;
        for (const auto& event : handle(messages)) {
            char name[64] = "";
            xkb_keysym_get_name(event.keysym, name, sizeof name);
            if (event.type == XCB_KEY_PRESS || event.type == XCB_BUTTON_PRESS) {
                presses.append(event.type == XCB_KEY_PRESS ? QString::fromLatin1(name)
                                                           : QString::number(event.detail));
            }
        }
        return presses.join(u' ');
    }
    // The phone's key positions, each pressed and released.
    static std::vector<QByteArray> taps(std::initializer_list<int> codes)
    {
        std::vector<QByteArray> messages;
        for (const int code : codes) {
            messages.insert(messages.end(), {kc(code, true), kc(code, false)});
        }
        return messages;
    }
    void setLayout(const QStringList& arguments)
    {
        run(u"setxkbmap"_s, QStringList{u"-display"_s, QString::fromLatin1(display)} + arguments);
        observer.sync();
    }

    const QByteArray display = ":2";
    X11Observer observer{display};
    std::shared_ptr<XTestEventSink> sink = std::make_shared<XTestEventSink>(display);
    InputInjector injector{sink};
};

} // namespace

TEST(X11Displays, TheMonitorsArePrimaryFirstWithTheirPixelsAndPointsFromTheScale)
{
    // Name, points, pixels, where, the main one; a scale of 1.75 rounds the points, not the pixels.
    const std::tuple<QByteArray, QByteArray, QString> cases[] = {
        {":1", "", u"screen 1920x1080 1920x1080 0,0 main"_s},
        {":2", "Xcursor.size:\t24\nXft.dpi:\t168\n",
         u"DP-A 1097x617 1920x1080 0,0 main, DP-B 1097x617 1920x1080 1920,0"_s}};
    for (const auto& [display, resources, expected] : cases) {
        X11Painter(display).setResources(resources);
        X11CaptureBackend backend(display);
        const Result<QList<HelperDisplay>> list = ScreenCapture::listDisplays(backend);
        X11Painter(display).setResources("");
        ASSERT_TRUE(list.ok()) << list.error().toStdString();
        QStringList seen;
        for (const HelperDisplay& d : list.value()) {
            const QRect at = backend.displayBounds(d.id).value_or(QRect());
            seen.append(QString::asprintf("%s %lldx%lld %lldx%lld %d,%d%s", qPrintable(d.name),
                                          qlonglong(d.width), qlonglong(d.height), qlonglong(d.pixelWidth),
                                          qlonglong(d.pixelHeight), at.x(), at.y(), d.isMain ? " main" : ""));
        }
        EXPECT_EQ(seen.join(u", "), expected) << display.constData() << " " << resources.constData();
    }
    // Real monitors are named by their EDID's descriptor.
    QByteArray edid(128, '\0');
    EXPECT_EQ(X11Monitors::edidName(edid), QString());
    edid.replace(72, 18, QByteArray("\x00\x00\x00\xFC\x00", 5) + "DELL U2720Q\n ");
    EXPECT_EQ(X11Monitors::edidName(edid), u"DELL U2720Q"_s);
    EXPECT_EQ(X11Monitors::edidName(edid.left(100)), QString());
}

TEST(X11Displays, EveryChangeIsAnnouncedOnceWhoeverReadsItFirst)
{
    X11Painter painter(":2");
    X11CaptureBackend backend(":2");
    int changes = 0;
    backend.onScreensChanged = [&] { ++changes; };
    // Each change is read first by another question (the display list, the permission poll, a
    // display's bounds) before the backend's own check comes round.
    run(u"xrandr"_s,
        {u"-display"_s, u":2"_s, u"--setmonitor"_s, u"DP-C"_s, u"640/100x480/100+0+0"_s, u"none"_s});
    EXPECT_EQ(ScreenCapture::listDisplays(backend).value().size(), 3);
    EXPECT_TRUE(Tests::waitUntil([&] { return changes == 1; }, 4s));
    painter.setResources("Xft.dpi:\t168\n");
    EXPECT_TRUE(backend.isAvailable());
    EXPECT_TRUE(Tests::waitUntil([&] { return changes == 2; }, 4s)) << "a new scale is a change";
    painter.setResources("");
    run(u"xrandr"_s, {u"-display"_s, u":2"_s, u"--delmonitor"_s, u"DP-C"_s});
    backend.displayBounds(backend.mainDisplayID());
    EXPECT_TRUE(Tests::waitUntil([&] { return changes == 3; }, 4s)) << "read together, told together";
    Tests::spin(2500ms);
    EXPECT_EQ(changes, 3) << "each change once, and a quiet screen none";
}

TEST(X11Capture, PicturesComeWhenTheScreenOrThePointerChangesWhileABufferIsFreeAndFollowAnUpdate)
{
    X11Painter painter(":2");
    painter.movePointer(0, 1079);
    painter.fill(QRect(0, 0, 1920, 1080), 0x000000);
    painter.fill(QRect(1920, 0, 1920, 1080), 0x0000FF);
    // The summary of the last picture, and the pictures while asked to (else nothing in their
    // place), on the main thread.
    QObject receiver;
    QString last;
    std::atomic<bool> keep = false;
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    X11CaptureBackend backend(":2");
    ScreenCapture capture(backend);
    capture.onFrame = [&](const std::shared_ptr<PixelBuffer>& picture, std::chrono::nanoseconds) {
        QMetaObject::invokeMethod(&receiver, [&, seen = summary(*picture), held = keep ? picture : nullptr] {
            last = seen;
            pictures.push_back(held);
        });
    };
    const auto shows = [&](const QString& expected) {
        return Tests::waitUntil([&] { return last == expected; });
    };
    ASSERT_TRUE(QCoro::waitFor(capture.start(backend.monitors()[0].id, 1280, 720)).ok());
    EXPECT_TRUE(shows(u"1280x720 black"_s)) << last.toStdString();
    Tests::spin(100ms);
    const std::size_t settled = pictures.size();
    Tests::spin(600ms);
    EXPECT_EQ(pictures.size(), settled) << "an unchanged screen gives no pictures";
    painter.fill(QRect(0, 0, 1920, 1080), 0xFF0000);
    EXPECT_TRUE(shows(u"1280x720 red"_s)) << last.toStdString();
    painter.fill(QRect(0, 0, 1920, 1080), 0x00FF00);
    EXPECT_TRUE(shows(u"1280x720 green"_s)) << last.toStdString();
    // The pointer's motion alone, and the pointer (black at its hot spot) drawn in.
    painter.movePointer(960, 540);
    EXPECT_TRUE(shows(u"1280x720 black"_s)) << last.toStdString();
    // Every buffer held: the pictures are skipped, and a change still pending comes once one is free.
    keep = true;
    const std::size_t held = pictures.size();
    for (std::uint32_t i = 1; i <= 8; ++i) {
        painter.fill(QRect(0, 0, 1920, 1080), 0x101010u * i);
        Tests::spin(60ms);
    }
    EXPECT_EQ(pictures.size() - held, std::size_t(X11CaptureStream::queueDepth));
    keep = false;
    pictures.clear();
    EXPECT_TRUE(Tests::waitUntil([&] { return !pictures.empty(); }));
    // The static second monitor is captured at once after the switch.
    ASSERT_TRUE(QCoro::waitFor(capture.update(backend.monitors()[1].id, 960, 540)).ok());
    EXPECT_TRUE(shows(u"960x540 blue"_s)) << last.toStdString();
}

TEST_F(XTest, ButtonsLandOnTheMonitorsPixelsReleaseAllLetsGoAndWheelPixelsAreClicksOfButtonsFourToSeven)
{
    // Pressed where the drag starts, released where it ends: on the pixel the point is in.
    const auto events = handle({d(0.1, 0.1), m(0.3, 0.2), u(1, 1)});
    const auto press = std::ranges::find(events, XCB_BUTTON_PRESS, &X11Observer::Event::type);
    const auto release = std::ranges::find(events, XCB_BUTTON_RELEASE, &X11Observer::Event::type);
    ASSERT_TRUE(press < release && release != events.end());
    EXPECT_EQ(QPoint(press->x, press->y), QPoint(2111, 107));
    EXPECT_EQ(QPoint(release->x, release->y), QPoint(3839, 1079));
    // Without a server nothing is posted.
    EXPECT_TRUE(XTestEventSink::isAvailable(display) && !XTestEventSink::isAvailable(":37"));
    XTestEventSink(":37").post(InputEvent{});
    // The left button is button 1, the right one button 3; a release-all lets go of both.
    EXPECT_EQ(presses({d(0.5, 0.5), d(0.5, 0.5, 2)}), u"1 3"_s);
    EXPECT_EQ(observer.held(), 2);
    handle({c()});
    EXPECT_EQ(observer.held(), 0);

    const auto clicks = [&](double dx, double dy) { return presses({w(dx, dy)}); };
    // The phone's dy = 100 scrolls down: two clicks, and 20 pixels that the next 20 make a click;
    // turning back starts afresh: 10 pixels up are not yet a click, 30 more are.
    const std::tuple<double, double, QString> wheel[] = {{0, 100, u"5 5"_s}, {0, 20, u"5"_s},
                                                         {0, -10, u""_s},    {0, -30, u"4"_s},
                                                         {40, 0, u"7"_s},    {-80, 0, u"6 6"_s}};
    for (const auto& [dx, dy, buttons] : wheel) {
        EXPECT_EQ(clicks(dx, dy), buttons) << dx << "," << dy;
    }
    // Pixels short of a click are dropped once the wheel has rested.
    EXPECT_EQ(clicks(0, 30), u""_s);
    Tests::spin(XTestEventSink::wheelRest + 100ms);
    EXPECT_EQ(clicks(0, 20), u""_s);
    EXPECT_EQ(clicks(0, 1e9), u"5 "_s.repeated(XTestEventSink::maximumWheelClicks - 1) + u"5"_s);
    EXPECT_EQ(observer.held(), 0);
}

TEST_F(XTest, KeysGoByPlaceAndTextByCharacterWhateverTheLayoutAndLocks)
{
    const std::vector<std::uint32_t> mapping = observer.keyboardMapping();
    // Digits, punctuation, function and editing keys; Command is Control (the shortcut key).
    EXPECT_EQ(presses(taps({18, 29, 27, 42, 50, 122, 111, 51, 53, 115, 123, 117, 55, 54, 58, 59})),
              u"1 0 minus backslash grave F1 F12 BackSpace Escape Home Left Delete "
              u"Control_L Control_R Alt_L Control_L"_s);
    // Text: capitals and second-level punctuation with Shift, a tab the Tab key, and characters
    // without a key (many of them, through the spare keys in turn) in order.
    EXPECT_EQ(text({p(u"héllo €中😀"_s)}), u"héllo €中😀"_s);
    EXPECT_EQ(presses({p(u"Hi!\t\n"_s)}), u"Shift_L H i Shift_L exclam Tab Return"_s);
    std::u32string many(120, U'\0');
    std::iota(many.begin(), many.end(), U'\x4E00');
    EXPECT_EQ(text({p(QString::fromStdU32String(many))}), QString::fromStdU32String(many));
    EXPECT_EQ(observer.keyboardMapping(), mapping) << "the keyboard mapping is restored";

    constexpr int z = 6, y = 16, minus = 27, capsLock = 57, h = 4;
    // German: the keys in the places of Z, Y and - type what the layout puts there; text is text.
    setLayout({u"de"_s});
    EXPECT_EQ(text(taps({z, y, minus})), u"yzß"_s);
    EXPECT_EQ(text({p(u"zy-@"_s)}), u"zy-@"_s);
    // Caps Lock: keys follow it, text does not, and the lock stays on.
    EXPECT_EQ(text(taps({capsLock, h})), u"H"_s);
    EXPECT_EQ(text({p(u"Hello ä"_s), k(u"x"_s)}), u"Hello äx"_s);
    EXPECT_EQ(text(taps({h, capsLock, h})), u"Hh"_s);
    // English and Russian, the Russian group locked (by the Caps Lock key here): Latin text stays Latin.
    setLayout({u"-layout"_s, u"us,ru"_s, u"-option"_s, u"grp:caps_toggle"_s});
    EXPECT_EQ(text(taps({capsLock, h})), u"р"_s) << "the key in the place of H, in the Russian group";
    EXPECT_EQ(text({p(u"hi пр"_s)}), u"hi пр"_s);
    EXPECT_EQ(observer.held(), 0);
    setLayout({u"-layout"_s, u"us"_s, u"-option"_s, u""_s});
}

TEST_F(XTest, TheDoubleClickIntervalComesFromTheDesktopSettings)
{
    EXPECT_DOUBLE_EQ(sink->doubleClickInterval(), 0.5);
    // A settings daemon's property: a string, a colour, then the time (little-endian).
    const QByteArray settings = "\0\0\0\0\7\0\0\0\3\0\0\0"
                                "\1\0\x0D\0Net/ThemeName\0\0\0\0\0\0\0\3\0\0\0Adw\0"
                                "\2\0\x0A\0Gtk/Colour\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
                                "\0\0\x13\0Net/DoubleClickTime\0\0\0\0\0\xFA\0\0\0"_ba;
    // Cut short anywhere: nothing, and nothing read past the end.
    for (qsizetype length = 0; length < settings.size(); ++length) {
        EXPECT_EQ(X11Settings::integerIn(settings.left(length), "Net/DoubleClickTime"), std::nullopt)
            << length;
    }
    xcb_connection_t* daemon = xcb_connect(display.constData(), nullptr);
    const auto atom = [&](const char* name) {
        return xcbReply(xcb_intern_atom_reply(
                            daemon, xcb_intern_atom(daemon, 0, std::uint16_t(qstrlen(name)), name), nullptr))
            ->atom;
    };
    const xcb_window_t owner = xcb_setup_roots_iterator(xcb_get_setup(daemon)).data->root;
    xcb_change_property(daemon, XCB_PROP_MODE_REPLACE, owner, atom("_XSETTINGS_SETTINGS"),
                        atom("_XSETTINGS_SETTINGS"), 8, std::uint32_t(settings.size()), settings.constData());
    xcb_set_selection_owner(daemon, owner, atom("_XSETTINGS_S0"), XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(daemon, xcb_get_input_focus(daemon), nullptr));
    EXPECT_DOUBLE_EQ(sink->doubleClickInterval(), 0.25);
    xcb_disconnect(daemon);
}
