// The tray on a real X display with a real tray host (trayer): the icon appears, a click opens
// the panel next to it, and the icon is the filled symbol while a phone is connected.
#include "core/LinkServer.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModelPhone.h"
#include "tests/support/X11User.h"
#include "tests/ui/UiFixture.h"
#include "ui/HelperWelcome.h"
#include "ui/OVUHelperApp.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// How many pixels differ between two pictures of the same size.
int differences(const QImage& a, const QImage& b)
{
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            count += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
        }
    }
    return count;
}

// The bounding box of what is not black.
QRect drawn(const QImage& image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) != 0) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return box;
}

} // namespace

TEST(Tray, TheIconOpensThePanelAndFillsWhileAPhoneIsConnected)
{
    ASSERT_EQ(QGuiApplication::platformName(), u"xcb"_s);
    Tests::Child trayer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, qEnvironmentVariable("DISPLAY"));
    ASSERT_TRUE(
        trayer.start(u"trayer"_s,
                     {u"--edge"_s, u"top"_s, u"--align"_s, u"right"_s, u"--widthtype"_s, u"request"_s,
                      u"--height"_s, u"24"_s, u"--transparent"_s, u"false"_s, u"--tint"_s, u"0xdddddd"_s},
                     environment));
    ASSERT_TRUE(Tests::waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10s));
    EXPECT_TRUE(HelperWelcome::explanationText().startsWith(u"It lives in the tray"_s));

    const QRect strip(0, 0, QGuiApplication::primaryScreen()->geometry().width(), 30);
    Tests::UiModel m({u"-autoallow"_s});
    OVUHelperApp app(m.model);
    app.start();
    ASSERT_TRUE(app.tray());
    EXPECT_TRUE(app.tray()->isVisible());
    X11User user(qgetenv("DISPLAY"));
    const auto grab = [](const QRect& rect) {
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
            .toImage();
    };
    // The icon is what the dark tray bar shows that is not the bar.
    QRect icon;
    ASSERT_TRUE(Tests::waitUntil(
        [&] {
            icon = drawn(grab(strip));
            return icon.width() >= 16;
        },
        5s));
    EXPECT_GT(icon.left(), strip.width() / 2) << "at the right";
    Tests::spin(300ms);
    const QImage idle = grab(icon);
    ASSERT_FALSE(idle.isNull());

    user.click(icon.center());
    ASSERT_TRUE(Tests::waitUntil([&] { return app.panel() && app.panel()->isVisible(); }, 5s));
    const QRect panel = app.panel()->geometry();
    EXPECT_EQ(panel.width(), 340);
    EXPECT_GE(panel.top(), icon.bottom()) << "under the icon";
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_TRUE(screen.contains(panel)) << "on the screen";
    // A click elsewhere closes the popup.
    user.click({screen.width() / 3, screen.height() * 2 / 3});
    EXPECT_TRUE(Tests::waitUntil([&] { return !app.panel()->isVisible(); }, 3s));

    ASSERT_TRUE(Tests::waitUntil([&] { return m.model.server().isListening(); }));
    EXPECT_EQ(app.traySymbol(), u"rectangle.on.rectangle"_s);
    {
        Tests::ModelPhone phone(PhoneLink::Mode::pair, u"<u>Tia</u>"_s);
        ASSERT_TRUE(Tests::waitUntil([&] { return m.model.connectedName.has_value(); }, 5s));
        EXPECT_EQ(app.traySymbol(), u"rectangle.on.rectangle.fill"_s);
        EXPECT_EQ(Tests::seen(app.tray()->toolTip()), u"OVU Helper: <u>Tia</u>"_s) << "the name as it is";
        EXPECT_TRUE(Tests::waitUntil([&] { return differences(grab(icon), idle) > 20; }, 3s))
            << "the tray shows the filled symbol";
        phone.link->close();
        ASSERT_TRUE(Tests::waitUntil([&] { return !m.model.connectedName.has_value(); }, 5s));
    }
    EXPECT_EQ(app.traySymbol(), u"rectangle.on.rectangle"_s);
    EXPECT_TRUE(Tests::waitUntil([&] { return differences(grab(icon), idle) == 0; }, 3s));
}
