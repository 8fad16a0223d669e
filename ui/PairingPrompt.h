#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <coroutine>
#include <memory>

// Asks the user whether a phone may pair, in a floating panel above the other windows. One
// prompt at a time: a request while one is showing is answered no at once. The caller is
// resumed exactly once, with yes ("Allow"), no ("Don’t Allow", Escape, closing the panel) or no
// after the time-out.
class PairingPrompt : public QObject {
    Q_OBJECT

public:
    explicit PairingPrompt(QObject* parent = nullptr);
    ~PairingPrompt() override;

    std::chrono::milliseconds timeout{std::chrono::seconds(90)};

    QCoro::Task<bool> ask(QString name, QString code);
    // The panel on screen, absent while no prompt is showing.
    QWidget* panel() const { return m_panel; }
    // Six characters as two groups of three ("481 207"); anything else unchanged.
    static QString shownCode(const QString& code);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Pending {
        std::coroutine_handle<> caller;
        bool answer = false;
        bool done = false;
    };
    struct Answer {
        std::shared_ptr<Pending> pending;
        bool await_ready() const noexcept { return pending->done; }
        void await_suspend(std::coroutine_handle<> caller) noexcept { pending->caller = caller; }
        bool await_resume() const noexcept { return pending->answer; }
    };

    void finish(bool allowed);

    QPointer<QWidget> m_panel;
    std::shared_ptr<Pending> m_answer;
};
