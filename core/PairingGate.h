#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// Decides whether a new phone may pair: at once with "-autoallow", otherwise by asking the user
// (the pairing prompt), and not at all for a while after the user refused one.
class PairingGate : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    // After the user refused a pairing, further requests are turned away for this long.
    static constexpr std::chrono::seconds refusalPause{30};

    explicit PairingGate(bool autoAllow);

    // Asks the user; absent (answering no) until a prompt exists.
    std::function<QCoro::Task<bool>(QString name, QString code)> askUser;
    // The clock the pause is measured on.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    std::optional<Clock::time_point> lastRefusal;

    QCoro::Task<bool> ask(QString name, QString code);

private:
    static QCoro::Task<bool> decide(QPointer<PairingGate> gate, QString name, QString code);

    const bool m_autoAllow;
};
