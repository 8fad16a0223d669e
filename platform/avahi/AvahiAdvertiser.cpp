#include "platform/avahi/AvahiAdvertiser.h"

#include "base/HelperLog.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-glib/glib-malloc.h>
#include <avahi-glib/glib-watch.h>

using namespace Qt::StringLiterals;

namespace {

constexpr std::chrono::seconds retryInterval{5};

QString avahiError(int error)
{
    return QString::fromUtf8(avahi_strerror(error));
}

} // namespace

struct AvahiAdvertiser::Callbacks {
    static void client(AvahiClient* client, AvahiClientState state, void* userdata)
    {
        static_cast<AvahiAdvertiser*>(userdata)->clientChanged(client, state);
    }
    static void group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata)
    {
        static_cast<AvahiAdvertiser*>(userdata)->groupChanged(group, state);
    }
};

AvahiAdvertiser::AvahiAdvertiser() : m_poll(avahi_glib_poll_new(nullptr, G_PRIORITY_DEFAULT))
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(retryInterval);
    QObject::connect(&m_retry, &QTimer::timeout, &m_retry, [this] { connectClient(); });
}

AvahiAdvertiser::~AvahiAdvertiser()
{
    dropClient();
    if (m_poll) {
        avahi_glib_poll_free(m_poll);
    }
}

void AvahiAdvertiser::advertise(const QString& name, const QString& type, quint16 port)
{
    m_wanted = true;
    m_requestedName = name;
    m_name = name;
    m_type = type;
    m_port = port;
    if (!m_client) {
        connectClient();
    } else {
        publish();
    }
}

void AvahiAdvertiser::withdraw()
{
    m_wanted = false;
    m_retry.stop();
    if (m_group) {
        avahi_entry_group_reset(m_group);
    }
}

void AvahiAdvertiser::connectClient()
{
    if (m_client || !m_wanted || !m_poll) {
        return;
    }
    int error = 0;
    // With NO_FAIL the client waits for a daemon that is not there yet and survives its restarts
    // as far as Avahi allows; without a system bus at all it fails at once, so try again later.
    m_client =
        avahi_client_new(avahi_glib_poll_get(m_poll), AVAHI_CLIENT_NO_FAIL, &Callbacks::client, this, &error);
    if (!m_client) {
        if (!m_reportedMissing) {
            m_reportedMissing = true;
            HelperLog::write(u"dns-sd: cannot reach avahi-daemon ("_s + avahiError(error) +
                             u"); still listening, advertising once it is there"_s);
        }
        m_retry.start();
    }
}

void AvahiAdvertiser::dropClient()
{
    // Freeing the client frees its entry groups.
    m_group = nullptr;
    if (m_client) {
        avahi_client_free(m_client);
        m_client = nullptr;
    }
}

void AvahiAdvertiser::clientChanged(AvahiClient* client, int state)
{
    // Avahi calls back from inside avahi_client_new, before it has returned the client.
    m_client = client;
    switch (static_cast<AvahiClientState>(state)) {
    case AVAHI_CLIENT_S_RUNNING:
        if (m_reportedMissing) {
            m_reportedMissing = false;
            HelperLog::write(u"dns-sd: avahi-daemon is there"_s);
        }
        publish();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name is being (re)registered; the records follow once it runs again.
        if (m_group) {
            avahi_entry_group_reset(m_group);
        }
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (!m_reportedMissing) {
            m_reportedMissing = true;
            HelperLog::write(u"dns-sd: waiting for avahi-daemon; still listening"_s);
        }
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(client);
        HelperLog::write(u"dns-sd: lost avahi-daemon ("_s + avahiError(error) +
                         u"); advertising again when it returns"_s);
        m_reportedMissing = true;
        // A client that failed cannot recover: start a new one, which waits for the daemon.
        QMetaObject::invokeMethod(
            &m_retry,
            [this] {
                dropClient();
                connectClient();
            },
            Qt::QueuedConnection);
        break;
    }
    }
}

void AvahiAdvertiser::publish()
{
    if (!m_client || !m_wanted || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING) {
        return;
    }
    if (!m_group) {
        m_group = avahi_entry_group_new(m_client, &Callbacks::group, this);
        if (!m_group) {
            HelperLog::write(u"dns-sd: cannot advertise: "_s + avahiError(avahi_client_errno(m_client)));
            return;
        }
    } else {
        avahi_entry_group_reset(m_group);
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int result = avahi_entry_group_add_service(
            m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), m_name.toUtf8().constData(),
            m_type.toUtf8().constData(), nullptr, nullptr, m_port, nullptr);
        if (result == AVAHI_ERR_COLLISION) {
            takeAlternativeName();
            continue;
        }
        if (result < 0) {
            HelperLog::write(u"dns-sd: cannot advertise: "_s + avahiError(result));
            return;
        }
        const int committed = avahi_entry_group_commit(m_group);
        if (committed < 0) {
            HelperLog::write(u"dns-sd: cannot advertise: "_s + avahiError(committed));
        }
        return;
    }
}

void AvahiAdvertiser::takeAlternativeName()
{
    char* alternative = avahi_alternative_service_name(m_name.toUtf8().constData());
    const QString next = QString::fromUtf8(alternative);
    avahi_free(alternative);
    HelperLog::write(u"dns-sd: the name "_s + m_name + u" is taken; advertising as "_s + next);
    m_name = next;
}

void AvahiAdvertiser::groupChanged(AvahiEntryGroup* group, int state)
{
    if (group != m_group && m_group) {
        return;
    }
    switch (static_cast<AvahiEntryGroupState>(state)) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        HelperLog::write(u"dns-sd: advertising "_s + m_name + u" on port "_s + QString::number(m_port));
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host holds the name: take the next one and register again.
        takeAlternativeName();
        QMetaObject::invokeMethod(
            &m_retry, [this] { publish(); }, Qt::QueuedConnection);
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        HelperLog::write(u"dns-sd: advertisement failed: "_s +
                         avahiError(avahi_client_errno(avahi_entry_group_get_client(group))));
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}
