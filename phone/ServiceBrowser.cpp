#include "phone/ServiceBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-glib/glib-watch.h>

struct ServiceBrowser::Callbacks {
    static void client(AvahiClient*, AvahiClientState, void*) {}

    static void resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                         AvahiResolverEvent event, const char* name, const char*, const char*,
                         const char* hostName, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                         AvahiLookupResultFlags, void* userdata)
    {
        auto* self = static_cast<ServiceBrowser*>(userdata);
        if (event == AVAHI_RESOLVER_FOUND && self->onFound) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            self->onFound(
                Service{QString::fromUtf8(name), QString::fromUtf8(hostName), QString::fromUtf8(text), port});
        }
        avahi_service_resolver_free(resolver);
    }

    static void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                        AvahiLookupResultFlags, void* userdata)
    {
        auto* self = static_cast<ServiceBrowser*>(userdata);
        if (event == AVAHI_BROWSER_NEW) {
            avahi_service_resolver_new(self->m_client, interface, protocol, name, type, domain,
                                       AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &Callbacks::resolved, self);
        } else if (event == AVAHI_BROWSER_FAILURE && self->onFailure) {
            self->onFailure(QString::fromUtf8(avahi_strerror(avahi_client_errno(self->m_client))));
        }
    }
};

ServiceBrowser::ServiceBrowser() : m_poll(avahi_glib_poll_new(nullptr, G_PRIORITY_DEFAULT))
{}

ServiceBrowser::~ServiceBrowser()
{
    if (m_client) {
        avahi_client_free(m_client);
    }
    if (m_poll) {
        avahi_glib_poll_free(m_poll);
    }
}

bool ServiceBrowser::browse(const QString& type)
{
    int error = 0;
    m_client =
        avahi_client_new(avahi_glib_poll_get(m_poll), AvahiClientFlags(0), &Callbacks::client, this, &error);
    if (!m_client) {
        if (onFailure) {
            onFailure(QString::fromUtf8(avahi_strerror(error)));
        }
        return false;
    }
    m_browser =
        avahi_service_browser_new(m_client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.toUtf8().constData(),
                                  nullptr, AvahiLookupFlags(0), &Callbacks::browsed, this);
    if (!m_browser) {
        if (onFailure) {
            onFailure(QString::fromUtf8(avahi_strerror(avahi_client_errno(m_client))));
        }
        return false;
    }
    return true;
}
