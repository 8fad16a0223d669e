// The pairing prompt on the offscreen platform: its content, the answers, Escape and Return, the
// time-out that only ever closes its own panel, and exactly one answer per prompt.
#include "tests/support/EventLoop.h"
#include "ui/PairingPrompt.h"
#include "ui/PairingView.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// One ask, with what it answered (and how often).
struct Asking {
    std::optional<bool> answer;
    int answers = 0;
    QCoro::Task<> run(PairingPrompt& prompt, QString name, QString code)
    {
        const bool result = co_await prompt.ask(std::move(name), std::move(code));
        answer = result;
        ++answers;
    }
};

QString labelText(QWidget* panel, const QString& name)
{
    return panel->findChild<QLabel*>(name)->text();
}

QPushButton* button(QWidget* panel, const QString& name)
{
    return panel->findChild<QPushButton*>(name);
}

void activate(QWidget* panel)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    QApplication::setActiveWindow(panel);
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
}

} // namespace

TEST(PairingPrompt, ShowsTheNameAndTheGroupedCode)
{
    EXPECT_EQ(PairingPrompt::shownCode(u"481207"_s), u"481 207"_s);
    EXPECT_EQ(PairingPrompt::shownCode(u"48120"_s), u"48120"_s);
    EXPECT_EQ(PairingPrompt::shownCode(u"4812077"_s), u"4812077"_s);

    PairingPrompt prompt;
    Asking asking;
    asking.run(prompt, u"Ana’s phone"_s, u"481207"_s);
    QWidget* panel = prompt.panel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(panel->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(labelText(panel, u"title"_s), u"Let “Ana’s phone” see and control this Mac?"_s);
    EXPECT_EQ(labelText(panel, u"code"_s), u"481 207"_s);
    EXPECT_EQ(labelText(panel, u"explanation"_s),
              u"OVU Desktop on that device shows a code. Allow only if it is the same as this one."_s);
    EXPECT_EQ(button(panel, u"refuseButton"_s)->text(), u"Don’t Allow"_s);
    EXPECT_EQ(panel->width(), 420);
    EXPECT_FALSE(asking.answer);

    QTest::mouseClick(button(panel, u"allowButton"_s), Qt::LeftButton);
    EXPECT_EQ(asking.answer, true);
    EXPECT_EQ(asking.answers, 1);
    EXPECT_FALSE(prompt.panel());
}

TEST(PairingPrompt, EscapeRefusesAndReturnDoesNothing)
{
    PairingPrompt prompt;
    Asking asking;
    asking.run(prompt, u"Ben"_s, u"123456"_s);
    QWidget* panel = prompt.panel();
    ASSERT_TRUE(panel);
    activate(panel);
    // Whichever button has the focus, Return answers nothing.
    QTest::keyClick(panel, Qt::Key_Return);
    QTest::keyClick(panel, Qt::Key_Enter);
    button(panel, u"allowButton"_s)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    Tests::spin(50ms);
    EXPECT_FALSE(asking.answer);
    EXPECT_TRUE(prompt.panel());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(asking.answer, false);
    EXPECT_EQ(asking.answers, 1);
    EXPECT_FALSE(prompt.panel());
}

TEST(PairingPrompt, ASecondRequestIsRefusedAtOnceAndTheFirstStays)
{
    PairingPrompt prompt;
    Asking first;
    Asking second;
    first.run(prompt, u"First"_s, u"111111"_s);
    QWidget* panel = prompt.panel();
    second.run(prompt, u"Second"_s, u"222222"_s);
    EXPECT_EQ(second.answer, false);
    EXPECT_EQ(prompt.panel(), panel);
    EXPECT_EQ(labelText(panel, u"title"_s), u"Let “First” see and control this Mac?"_s);
    EXPECT_FALSE(first.answer);
    QTest::mouseClick(button(panel, u"refuseButton"_s), Qt::LeftButton);
    EXPECT_EQ(first.answer, false);
}

TEST(PairingPrompt, TheTimeOutRefusesAndNeverClosesALaterPrompt)
{
    PairingPrompt prompt;
    prompt.timeout = 1000ms;
    Asking alone;
    alone.run(prompt, u"Alone"_s, u"111111"_s);
    ASSERT_TRUE(Tests::waitUntil([&] { return alone.answer.has_value(); }, 3s));
    EXPECT_EQ(alone.answer, false);
    EXPECT_FALSE(prompt.panel());

    // Answered at 80 % of the time, then a new prompt: the first one's time-out fires while the
    // second shows, and leaves it alone.
    Asking first;
    first.run(prompt, u"First"_s, u"111111"_s);
    Tests::spin(800ms);
    QTest::mouseClick(button(prompt.panel(), u"allowButton"_s), Qt::LeftButton);
    EXPECT_EQ(first.answer, true);
    Asking second;
    second.run(prompt, u"Second"_s, u"222222"_s);
    QWidget* secondPanel = prompt.panel();
    Tests::spin(500ms);
    EXPECT_EQ(prompt.panel(), secondPanel);
    EXPECT_FALSE(second.answer);
    EXPECT_EQ(first.answers, 1);
    ASSERT_TRUE(Tests::waitUntil([&] { return second.answer.has_value(); }, 3s));
    EXPECT_EQ(second.answer, false);
}

TEST(PairingPrompt, EveryOtherEndAnswersOnce)
{
    // The window system closing the panel.
    {
        PairingPrompt prompt;
        Asking asking;
        asking.run(prompt, u"Closed"_s, u"123456"_s);
        prompt.panel()->close();
        EXPECT_EQ(asking.answer, false);
        EXPECT_FALSE(prompt.panel());
        Tests::spin(20ms);
        EXPECT_EQ(asking.answers, 1);
    }
    // The prompt going away while the caller waits.
    Asking asking;
    {
        PairingPrompt prompt;
        asking.run(prompt, u"Gone"_s, u"123456"_s);
    }
    EXPECT_EQ(asking.answer, false);
    EXPECT_EQ(asking.answers, 1);
}

TEST(PairingView, ALongNameWrapsAndTheWidthStays)
{
    PairingView shortName(u"Ana"_s, u"481 207"_s, [](bool) {});
    PairingView longName(u"The phone with a really very long name that someone gave it, on purpose"_s,
                         u"481 207"_s, [](bool) {});
    EXPECT_EQ(shortName.width(), 420);
    EXPECT_EQ(longName.width(), 420);
    EXPECT_GT(longName.height(), shortName.height() + 15);
    QLabel* title = longName.findChild<QLabel*>(u"title"_s);
    EXPECT_TRUE(title->wordWrap());
    EXPECT_LE(title->width(), 364);
}
