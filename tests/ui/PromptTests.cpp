// The pairing prompt on the offscreen platform: its content, the answers, Escape and Return, the
// time-out that only ever closes its own panel, and exactly one answer per prompt.
#include "tests/support/EventLoop.h"
#include "ui/PairingPrompt.h"

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

} // namespace

TEST(PairingPrompt, ShowsTheNameAndCodeAboveOtherWindowsAndOfTheKeysOnlyEscapeAnswers)
{
    PairingPrompt prompt;
    Asking asking;
    asking.run(prompt, u"Ana’s phone"_s, u"481207"_s);
    QWidget* panel = prompt.panel();
    ASSERT_TRUE(panel);
    // Nothing to close it by but its answers.
    EXPECT_TRUE(panel->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(panel->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(panel->findChild<QLabel*>(u"title"_s)->text(),
              u"Let “Ana’s phone” see and control this Mac?"_s);
    EXPECT_EQ(panel->findChild<QLabel*>(u"code"_s)->text(), u"481 207"_s);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    QApplication::setActiveWindow(panel);
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
    // Whichever button has the focus, Return answers nothing; Escape refuses.
    QTest::keyClick(panel, Qt::Key_Return);
    panel->findChild<QPushButton*>(u"allowButton"_s)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    Tests::spin(50ms);
    EXPECT_FALSE(asking.answer);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(asking.answer, false);
    EXPECT_EQ(asking.answers, 1);
    EXPECT_FALSE(prompt.panel());
}

TEST(PairingPrompt, EachAskIsAnsweredOnceAndTheTimeOutNeverClosesALaterPrompt)
{
    PairingPrompt prompt;
    prompt.timeout = 1000ms;
    Asking first;
    Asking second;
    first.run(prompt, u"First"_s, u"111111"_s);
    QWidget* panel = prompt.panel();
    second.run(prompt, u"Second"_s, u"222222"_s);
    EXPECT_EQ(second.answer, false);
    EXPECT_EQ(prompt.panel(), panel);
    // Answered at 80 % of the time, then a new prompt: the first one's time-out fires while the
    // second shows, and leaves it alone; the second's own time-out refuses it.
    Tests::spin(800ms);
    QTest::mouseClick(panel->findChild<QPushButton*>(u"allowButton"_s), Qt::LeftButton);
    EXPECT_EQ(first.answer, true);
    Asking third;
    third.run(prompt, u"Third"_s, u"333333"_s);
    QWidget* thirdPanel = prompt.panel();
    Tests::spin(500ms);
    EXPECT_EQ(prompt.panel(), thirdPanel);
    EXPECT_EQ(first.answers, 1);
    ASSERT_TRUE(Tests::waitUntil([&] { return third.answer.has_value(); }, 3s));
    EXPECT_EQ(third.answer, false);

    // The window system's close refuses, as does the prompt going away while the caller waits.
    Asking closed;
    closed.run(prompt, u"Closed"_s, u"444444"_s);
    prompt.panel()->close();
    EXPECT_EQ(closed.answer, false);
    Asking gone;
    {
        PairingPrompt other;
        gone.run(other, u"Gone"_s, u"555555"_s);
    }
    EXPECT_EQ(gone.answer, false);
    Tests::spin(20ms);
    EXPECT_EQ(std::pair(closed.answers, gone.answers), std::pair(1, 1));
}
