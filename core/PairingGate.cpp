#include "core/PairingGate.h"

#include "base/HelperLog.h"

using namespace Qt::StringLiterals;

PairingGate::PairingGate(bool autoAllow) : m_autoAllow(autoAllow)
{}

QCoro::Task<bool> PairingGate::ask(QString name, QString code)
{
    return decide(this, std::move(name), std::move(code));
}

QCoro::Task<bool> PairingGate::decide(QPointer<PairingGate> gate, QString name, QString code)
{
    if (!gate) {
        co_return false;
    }
    if (gate->m_autoAllow) {
        HelperLog::write(u"pairing with "_s + name + u", code "_s + code + u": allowed by -autoallow"_s);
        co_return true;
    }
    if (gate->lastRefusal && gate->now() - *gate->lastRefusal < refusalPause) {
        HelperLog::write(u"pairing asked by "_s + name + u": turned away, a request was just refused"_s);
        co_return false;
    }
    HelperLog::write(u"pairing asked by "_s + name);
    bool allowed = false;
    if (const auto askUser = gate->askUser) {
        // Asked outside the co_await: GCC 12 may destroy temporaries of an awaited expression twice.
        QCoro::Task<bool> question = askUser(name, code);
        allowed = co_await question;
    }
    if (gate && !allowed) {
        gate->lastRefusal = gate->now();
    }
    co_return allowed;
}
