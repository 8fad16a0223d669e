// The tray on a real X display with a real tray host (trayer): the icon appears, is the filled
// symbol while a phone is connected, and a click opens the panel next to it.
#include "core/LinkServer.h"
#include "tests/support/Child.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModelPhone.h"
#include "tests/support/X11User.h"
#include "tests/ui/UiFixture.h"
#include "ui/HelperWelcome.h"
#include "ui/OVUHelperApp.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

TEST(Tray, TheIconOpensThePanelAndFillsWhileAPhoneIsConnected)
{
    ASSERT_EQ(QGuiApplication::platformName(), u"xcb"_s);
    Tests::Child trayer;
    ASSERT_TRUE(trayer.start(u"trayer"_s, {u"--edge"_s, u"top"_s, u"--align"_s, u"right"_s, u"--widthtype"_s,
                                           u"request"_s, u"--height"_s, u"24"_s, u"--transparent"_s,
                                           u"false"_s, u"--tint"_s, u"0xdddddd"_s}));
    ASSERT_TRUE(Tests::waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10s));
    EXPECT_TRUE(HelperWelcome::explanationText().startsWith(u"It lives in the tray"_s));

    QScreen* screen = QGuiApplication::primaryScreen();
    const auto grab = [&](const QRect& rect) {
        return screen->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height()).toImage();
    };
    Tests::UiModel m({u"-autoallow"_s});
    OVUHelperApp app(m.model);
    app.start();
    ASSERT_TRUE(app.tray() && app.tray()->isVisible());
    // The icon is what the dark tray bar shows that is not the bar.
    QRect icon;
    ASSERT_TRUE(Tests::waitUntil(
        [&] {
            const QImage strip = grab({0, 0, screen->geometry().width(), 30});
            icon = QRect();
            for (int i = 0; i < strip.width() * strip.height(); ++i) {
                if ((strip.pixel(i % strip.width(), i / strip.width()) & 0xffffff) != 0) {
                    icon |= QRect(i % strip.width(), i / strip.width(), 1, 1);
                }
            }
            return icon.width() >= 16;
        },
        5s));
    Tests::spin(300ms);
    const QImage idle = grab(icon);

    ASSERT_TRUE(Tests::waitUntil([&] { return m.model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"<u>Tia</u>"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return m.model.connectedName.has_value(); }, 5s));
    EXPECT_EQ(app.traySymbol(), u"rectangle.on.rectangle.fill"_s);
    EXPECT_EQ(Tests::seen(app.tray()->toolTip()), u"OVU Helper: <u>Tia</u>"_s) << "the name as it is";
    EXPECT_TRUE(Tests::waitUntil([&] { return grab(icon) != idle; }, 3s))
        << "the tray shows the filled symbol";

    // A click opens the panel under the icon, whose Disconnect ends the session.
    X11User user(qgetenv("DISPLAY"));
    user.click(icon.center());
    ASSERT_TRUE(Tests::waitUntil([&] { return app.panel() && app.panel()->isVisible(); }, 5s));
    const QRect panel = app.panel()->geometry();
    EXPECT_GE(panel.top(), icon.bottom()) << "under the icon";
    EXPECT_TRUE(screen->geometry().contains(panel)) << "on the screen";
    const auto* name = app.panel()->findChild<QLabel*>(u"connectedName"_s);
    EXPECT_EQ(Tests::seen(name->text(), name->textFormat()), u"<u>Tia</u>"_s);
    const auto* disconnect = app.panel()->findChild<QPushButton*>(u"disconnectButton"_s);
    user.click(disconnect->mapToGlobal(disconnect->rect().center()));
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 3s));
    EXPECT_TRUE(LinkMessages::Bye::from(phone.messages.last()));
    EXPECT_TRUE(Tests::waitUntil([&] { return grab(icon) == idle; }, 3s)) << "and back";
    // A click elsewhere closes the popup.
    user.click({screen->geometry().width() / 3, screen->geometry().height() * 2 / 3});
    EXPECT_TRUE(Tests::waitUntil([&] { return !app.panel()->isVisible(); }, 3s));
}
