// The panel on the offscreen platform: each state of the model shows the sections and symbols it
// should, and each control reaches the model.
#include "tests/support/EventLoop.h"
#include "tests/ui/UiFixture.h"
#include "ui/HelperPanel.h"
#include "ui/PanelStyle.h"
#include "ui/SwitchButton.h"
#include "ui/SymbolView.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

struct Panel : Tests::UiModel {
    Panel()
    {
        // Shown, the panel starts the model, which reads the permissions: neither, for a start.
        desktop.record = false;
        desktop.control = false;
        menu.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&menu));
    }
    HelperPanel menu{model, model.devices()};

    template <typename T = QWidget>
    T* find(const QString& name) const
    {
        return menu.findChild<T*>(name);
    }
    bool visible(const QString& name) const { return find(name)->isVisibleTo(&menu); }
    QString text(const QString& name) const { return find<QLabel>(name)->text(); }
    void click(const QString& name) { QTest::mouseClick(find(name), Qt::LeftButton); }
    // The status word and symbol, and the sections that show.
    QString shown() const
    {
        QString shown = text(u"statusWord"_s) + u' ' + find<SymbolView>(u"statusSymbol"_s)->symbol() + u':';
        for (const QString& name : {u"messageNote"_s, u"recordingBox"_s, u"controlBox"_s, u"connectedBox"_s,
                                    u"figures"_s, u"hint"_s, u"devicesSection"_s}) {
            shown += visible(name) ? u' ' + name : QString();
        }
        return shown;
    }
};

} // namespace

TEST(Panel, EachStateShowsItsStatusSectionsHintAndFigures)
{
    Panel p;
    EXPECT_EQ(p.shown(), u"Needs permission exclamationmark.circle: recordingBox controlBox"_s);
    p.model.canRecord = true;
    p.publish();
    // Control stays asked for; the status does not show it.
    EXPECT_EQ(p.shown(), u"Ready checkmark.circle: controlBox hint"_s);
    const QString readyHint = p.text(u"hint"_s);
    p.click(u"acceptsConnections"_s);
    EXPECT_FALSE(p.model.acceptsConnections());
    EXPECT_EQ(p.shown(), u"Off pause.circle: controlBox hint"_s);
    EXPECT_NE(p.text(u"hint"_s), readyHint) << "not taking connections";

    p.model.canControl = true;
    p.model.connectedName = u"Ana’s phone"_s;
    p.model.sharing().state = SenderState::waiting();
    p.publish();
    EXPECT_EQ(p.shown(), u"Connected dot.radiowaves.left.and.right: connectedBox"_s) << "no figures yet";
    EXPECT_EQ(p.find<SymbolView>(u"statusSymbol"_s)->color(), PanelStyle::accent(p.menu.palette()));
    p.model.sharing().state = SenderState::connected();
    p.model.sharing().stats = SenderStats{59.6, 12.34, 1920, 1080, u"x264"_s};
    p.publish();
    EXPECT_EQ(p.text(u"figures"_s), u"60 pictures/s · 12.3 Mbit/s · 1920 × 1080"_s);

    // A message grows the panel and goes away.
    const int before = p.menu.height();
    p.model.message = u"No port could be opened for listening."_s;
    p.publish();
    EXPECT_EQ(p.shown(), u"Connected dot.radiowaves.left.and.right: messageNote connectedBox figures"_s);
    EXPECT_EQ(p.text(u"messageText"_s), *p.model.message);
    EXPECT_GT(p.menu.height(), before);
    p.model.message.reset();
    p.publish();
    EXPECT_EQ(p.menu.height(), before);
}

// Disconnecting is the tray's test, with a real phone.
TEST(Panel, TheSwitchesButtonsAndForgettingReachTheModel)
{
    Panel p;
    p.click(u"sendsSound"_s);
    EXPECT_FALSE(p.model.sendsSound());
    EXPECT_TRUE(p.visible(u"mutesWhileConnected"_s) && !p.find(u"mutesWhileConnected"_s)->isEnabled())
        << "shown, but greyed";
    p.click(u"mutesWhileConnected"_s);
    EXPECT_TRUE(p.model.mutesWhileConnected()) << "a disabled switch does nothing";
    p.click(u"controlBoxButton"_s);
    p.click(u"recordingBoxButton"_s);
    EXPECT_EQ(std::pair(p.desktop.recordingPages, p.desktop.controlPages), std::pair(1, 1));

    // Open at login shows the real state after an attempt that failed.
    p.desktop.loginItem.failure = u"The autostart folder cannot be written."_s;
    p.click(u"opensAtLogin"_s);
    EXPECT_FALSE(p.find<SwitchButton>(u"opensAtLogin"_s)->isChecked()) << "the switch flips back";
    EXPECT_TRUE(p.visible(u"messageNote"_s));

    // The phones, by the names they gave: markup in them is shown as it is.
    const QString ana = u"<b>Ana</b>"_s;
    p.model.devices().add(PairedDevice{u"A1"_s, ana, QByteArray(32, 'a'), {}});
    p.model.devices().add(PairedDevice{u"B2"_s, u"Ben’s phone"_s, QByteArray(32, 'b'), {}});
    QList<QLabel*> names = p.menu.findChildren<QLabel*>(u"deviceName"_s);
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(Tests::seen(names[0]->toolTip()), ana) << "in the store's order";
    EXPECT_EQ(Tests::seen(names[0]->text(), names[0]->textFormat()), ana);
    for (const QString& first : {u"B2"_s, QString()}) {
        QTest::mouseClick(p.menu.findChildren<QPushButton*>(u"forgetButton"_s)[0], Qt::LeftButton);
        Tests::spin(10ms);
        EXPECT_EQ(p.model.devices().devices().value(0).id, first);
    }
    EXPECT_FALSE(p.visible(u"devicesSection"_s));
}

TEST(Symbols, EverySymbolTheViewsUseIsDrawn)
{
    for (const QString& symbol :
         {u"rectangle.on.rectangle"_s, u"rectangle.on.rectangle.fill"_s, u"dot.radiowaves.left.and.right"_s,
          u"checkmark.circle"_s, u"pause.circle"_s, u"exclamationmark.circle"_s,
          u"exclamationmark.triangle.fill"_s, u"hand.raised.fill"_s, u"iphone"_s}) {
        const QImage image = SymbolView::image(symbol, 16, QColor(255, 0, 0), 2.0);
        ASSERT_EQ(image.size(), QSize(32, 32)) << symbol.toStdString();
        int painted = 0; // a drawing, not a blob
        for (int i = 0; i < 32 * 32; ++i) {
            painted += image.pixelColor(i % 32, i / 32).alpha() > 128 ? 1 : 0;
        }
        EXPECT_TRUE(painted > 30 && painted < 32 * 32 * 3 / 4) << symbol.toStdString() << ": " << painted;
    }
    EXPECT_TRUE(SymbolView::image(u"no.such.symbol"_s, 16, Qt::red, 1.0).isNull());
}
