// The panel and the welcome window on the offscreen platform: each state of the model shows the
// sections, texts and symbols it should, and each control reaches the model.
#include "core/LinkServer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModelPhone.h"
#include "tests/ui/UiFixture.h"
#include "ui/HelperPanel.h"
#include "ui/HelperWelcome.h"
#include "ui/PanelStyle.h"
#include "ui/SwitchButton.h"
#include "ui/SymbolView.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Tests::child;
using Tests::shown;

namespace {

struct Panel : Tests::UiModel {
    explicit Panel(QStringList arguments = {}) : UiModel(std::move(arguments))
    {
        // Shown, the panel starts the model, which reads the permissions: neither, for a start.
        desktop.record = false;
        desktop.control = false;
        menu.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&menu));
    }
    HelperPanel menu{model, model.devices()};

    QString status() const { return child<QLabel>(menu, u"statusWord"_s)->text(); }
    QString symbol() const { return child<SymbolView>(menu, u"statusSymbol"_s)->symbol(); }
    bool visible(const QString& name) const { return shown(child(menu, name), menu); }
    QString text(const QString& name) const { return child<QLabel>(menu, name)->text(); }
    SwitchButton* toggle(const QString& name) const { return child<SwitchButton>(menu, name); }
    void click(const QString& name) { QTest::mouseClick(child<QPushButton>(menu, name), Qt::LeftButton); }
    int dividers() const
    {
        int count = 0;
        for (const QFrame* line : menu.findChildren<QFrame*>(u"divider"_s)) {
            count += shown(line, menu) ? 1 : 0;
        }
        return count;
    }
};

} // namespace

TEST(Panel, EachStateShowsItsStatusBoxesHintAndFigures)
{
    Panel p;
    EXPECT_EQ(p.menu.width(), 340);
    EXPECT_EQ(p.status(), u"Needs permission"_s);
    EXPECT_EQ(p.symbol(), u"exclamationmark.circle"_s);
    EXPECT_TRUE(p.visible(u"recordingBox"_s) && p.visible(u"controlBox"_s));
    EXPECT_FALSE(p.visible(u"hint"_s) || p.visible(u"connectedBox"_s) || p.visible(u"devicesSection"_s));
    EXPECT_EQ(p.dividers(), 2);
    EXPECT_FALSE(p.visible(u"doneButton"_s));
    EXPECT_EQ(p.text(u"footerNote"_s),
              u"Quitting stops OVU Desktop from connecting to this Mac until you open OVU Helper again."_s);
    EXPECT_EQ(p.text(u"version"_s), u"Version "_s + QStringLiteral(OVU_VERSION));

    p.model.canRecord = true;
    p.publish();
    EXPECT_EQ(p.status(), u"Ready"_s);
    EXPECT_EQ(p.symbol(), u"checkmark.circle"_s);
    EXPECT_FALSE(p.visible(u"recordingBox"_s));
    EXPECT_TRUE(p.visible(u"controlBox"_s)) << "control stays asked for; the status does not show it";
    EXPECT_EQ(p.text(u"hint"_s), u"Open Screen Sharing in OVU Desktop on your phone and choose this Mac. "
                                 u"Both must be on the same network."_s);
    p.model.setAcceptsConnections(false);
    EXPECT_EQ(p.status(), u"Off"_s);
    EXPECT_EQ(p.symbol(), u"pause.circle"_s);
    EXPECT_EQ(p.text(u"hint"_s), u"This Mac is not taking connections."_s);

    p.model.canControl = true;
    p.model.connectedName = u"Ana’s phone"_s;
    p.model.sharing().state = SenderState::waiting();
    p.publish();
    EXPECT_EQ(p.status(), u"Connected"_s);
    EXPECT_EQ(p.symbol(), u"dot.radiowaves.left.and.right"_s);
    EXPECT_EQ(child<SymbolView>(p.menu, u"statusSymbol"_s)->color(), PanelStyle::accent(p.menu.palette()));
    EXPECT_FALSE(p.visible(u"controlBox"_s) || p.visible(u"hint"_s));
    EXPECT_TRUE(p.visible(u"disconnectButton"_s));
    EXPECT_FALSE(p.visible(u"figures"_s)) << "no figures before the video connects";
    p.model.sharing().state = SenderState::connected();
    p.model.sharing().stats = SenderStats{59.6, 12.34, 1920, 1080, u"x264"_s};
    p.publish();
    EXPECT_EQ(p.text(u"figures"_s), u"60 pictures/s · 12.3 Mbit/s · 1920 × 1080"_s);

    // A message grows the panel and goes away.
    const int before = p.menu.height();
    p.model.message = u"No port could be opened for listening."_s;
    p.publish();
    EXPECT_EQ(p.text(u"messageText"_s), u"No port could be opened for listening."_s);
    EXPECT_GT(p.menu.height(), before);
    p.model.message.reset();
    p.publish();
    EXPECT_EQ(p.menu.height(), before);
}

TEST(Panel, TheControlsReachTheModel)
{
    Panel p;
    SwitchButton* sound = p.toggle(u"sendsSound"_s);
    SwitchButton* mute = p.toggle(u"mutesWhileConnected"_s);
    QTest::mouseClick(sound, Qt::LeftButton);
    EXPECT_FALSE(p.model.sendsSound());
    EXPECT_FALSE(QSettings(u"OVU"_s, u"OVU Helper"_s).value(u"sendsSound"_s).toBool());
    EXPECT_TRUE(p.visible(u"mutesWhileConnected"_s) && !mute->isEnabled()) << "shown, but greyed";
    QTest::mouseClick(mute, Qt::LeftButton);
    EXPECT_TRUE(p.model.mutesWhileConnected()) << "a disabled switch does nothing";
    QTest::mouseClick(p.toggle(u"acceptsConnections"_s), Qt::LeftButton);
    EXPECT_FALSE(p.model.acceptsConnections());

    // Open at login shows the real state after every attempt.
    SwitchButton* atLogin = p.toggle(u"opensAtLogin"_s);
    QTest::mouseClick(atLogin, Qt::LeftButton);
    EXPECT_TRUE(p.desktop.loginItem.enabled && atLogin->isChecked());
    p.desktop.loginItem.enabled = false;
    p.desktop.loginItem.failure = u"The autostart folder cannot be written."_s;
    QTest::mouseClick(atLogin, Qt::LeftButton);
    QTest::mouseClick(atLogin, Qt::LeftButton);
    EXPECT_FALSE(atLogin->isChecked()) << "the switch flips back";
    EXPECT_EQ(p.text(u"messageText"_s),
              u"Could not change Open at Login: The autostart folder cannot be written."_s);

    // The permission boxes say what the desktop needs; their buttons ask the model.
    EXPECT_EQ(p.text(u"recordingBoxText"_s), u"So this Mac's screen can be sent to your phone."_s);
    p.click(u"controlBoxButton"_s);
    p.click(u"recordingBoxButton"_s);
    EXPECT_EQ(p.desktop.controlPages, 1);
    EXPECT_EQ(p.desktop.recordingPages, 1);
    p.desktop.control = true;
    p.click(u"controlBoxButton"_s);
    EXPECT_EQ(p.desktop.controlPages, 1) << "granted meanwhile: nothing to open";
}

TEST(Panel, PhonesAreListedAsTheirNamesReadForgottenAndDisconnected)
{
    Panel p({u"-autoallow"_s});
    // Names come from the phones: markup in them is shown as it is.
    const QString ana = u"<b>Ana</b>"_s;
    p.model.devices().add(PairedDevice{u"A1"_s, ana, QByteArray(32, 'a'), {}});
    p.model.devices().add(PairedDevice{u"B2"_s, u"Ben’s phone"_s, QByteArray(32, 'b'), {}});
    EXPECT_EQ(p.dividers(), 3);
    QList<QLabel*> names = p.menu.findChildren<QLabel*>(u"deviceName"_s);
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(Tests::seen(names[0]->toolTip()), ana) << "in the store's order";
    EXPECT_EQ(Tests::seen(names[0]->text(), names[0]->textFormat()), ana);
    QTest::mouseClick(p.menu.findChildren<QPushButton*>(u"forgetButton"_s)[0], Qt::LeftButton);
    Tests::spin(10ms);
    ASSERT_EQ(p.model.devices().devices().size(), 1);
    EXPECT_EQ(p.model.devices().devices()[0].id, u"B2"_s);
    QTest::mouseClick(p.menu.findChildren<QPushButton*>(u"forgetButton"_s)[0], Qt::LeftButton);
    Tests::spin(10ms);
    EXPECT_FALSE(p.visible(u"devicesSection"_s));
    EXPECT_EQ(p.dividers(), 2);

    p.model.startUp();
    ASSERT_TRUE(Tests::waitUntil([&] { return p.model.server().isListening(); }));
    Tests::ModelPhone phone(PhoneLink::Mode::pair, u"<i>Cleo</i>"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return p.model.connectedName.has_value(); }, 5s));
    const auto* name = child<QLabel>(p.menu, u"connectedName"_s);
    EXPECT_EQ(Tests::seen(name->text(), name->textFormat()), u"<i>Cleo</i>"_s);
    p.click(u"disconnectButton"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return phone.closed; }, 3s));
    EXPECT_EQ(phone.messages.last(), LinkMessages::Bye{u"Sharing was stopped on the Mac."_s}.json());
    EXPECT_FALSE(p.visible(u"connectedBox"_s));
}

TEST(Welcome, HeaderOverThePanelWithDoneOnReturn)
{
    Tests::UiModel m;
    int done = 0;
    QWidget window;
    HelperWelcome welcome(
        m.model, [&] { ++done; }, &window);
    EXPECT_EQ(welcome.width(), 372);
    HelperPanel* menu = welcome.menu();
    EXPECT_TRUE(shown(child(*menu, u"doneButton"_s), *menu));
    EXPECT_EQ(child<QLabel>(*menu, u"footerNote"_s)->text(),
              u"Done closes this window and leaves OVU Helper running. Quitting stops OVU Desktop from "
              u"connecting to this Mac until you open OVU Helper again."_s);
    EXPECT_GE(welcome.height(), child(welcome, u"welcomeHeader"_s)->height() + menu->height());
    // Off screen there is no tray: launching the helper again is the way back.
    EXPECT_TRUE(
        child<QLabel>(welcome, u"welcomeExplanation"_s)->text().startsWith(u"This desktop shows no tray"_s));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(done, 1);
}

TEST(Symbols, EverySymbolTheViewsUseIsDrawn)
{
    for (const QString& symbol :
         {u"rectangle.on.rectangle"_s, u"rectangle.on.rectangle.fill"_s, u"dot.radiowaves.left.and.right"_s,
          u"checkmark.circle"_s, u"pause.circle"_s, u"exclamationmark.circle"_s,
          u"exclamationmark.triangle.fill"_s, u"hand.raised.fill"_s, u"iphone"_s}) {
        const QImage image = SymbolView::image(symbol, 16, QColor(255, 0, 0), 2.0);
        ASSERT_EQ(image.size(), QSize(32, 32)) << symbol.toStdString();
        int painted = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                painted += image.pixelColor(x, y).alpha() > 128 ? 1 : 0;
            }
        }
        EXPECT_GT(painted, 30) << symbol.toStdString() << " has a drawing";
        EXPECT_LT(painted, 32 * 32 * 3 / 4) << symbol.toStdString() << " is not a blob";
    }
    EXPECT_TRUE(SymbolView::image(u"no.such.symbol"_s, 16, Qt::red, 1.0).isNull());
}
