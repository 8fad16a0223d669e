#include "platform/dbus/ScreenSaverInhibitor.h"

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

bool ScreenSaverInhibitor::serviceIsThere() const
{
    return m_bus.isConnected() && m_bus.interface() && m_bus.interface()->isServiceRegistered(service);
}

void ScreenSaverInhibitor::wake()
{
    if (serviceIsThere()) {
        m_bus.asyncCall(QDBusMessage::createMethodCall(service, path, service, u"SimulateUserActivity"_s));
    }
}

bool ScreenSaverInhibitor::hold()
{
    if (m_cookie || m_pending) {
        m_wanted = true;
        return true;
    }
    if (!serviceIsThere()) {
        return false;
    }
    m_wanted = true;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, u"Inhibit"_s);
    call << u"OVU Helper"_s << u"OVU Desktop is showing this Mac"_s;
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
    return true;
}

void ScreenSaverInhibitor::release()
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
