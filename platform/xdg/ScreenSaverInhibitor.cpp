#include "platform/xdg/ScreenSaverInhibitor.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString service = u"org.freedesktop.ScreenSaver"_s;
const QString path = u"/org/freedesktop/ScreenSaver"_s;

} // namespace

ScreenSaverInhibitor::ScreenSaverInhibitor(QDBusConnection bus) : m_bus(std::move(bus))
{}

void ScreenSaverInhibitor::inhibit(const QString& application, const QString& reason)
{
    m_wanted = true;
    if (m_cookie || m_pending || !m_bus.isConnected() || !m_bus.interface() ||
        !m_bus.interface()->isServiceRegistered(service)) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, u"Inhibit"_s);
    call << application << reason;
    m_pending = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        m_pending = false;
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError()) {
            return;
        }
        if (m_wanted) {
            m_cookie = reply.value();
        } else {
            sendUninhibit(reply.value());
        }
    });
}

void ScreenSaverInhibitor::uninhibit()
{
    m_wanted = false;
    if (const std::optional<std::uint32_t> held = std::exchange(m_cookie, std::nullopt)) {
        sendUninhibit(*held);
    }
}

void ScreenSaverInhibitor::sendUninhibit(std::uint32_t cookie)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, u"UnInhibit"_s);
    call << cookie;
    m_bus.asyncCall(call);
}
