#pragma once

#include <QString>

#include <functional>

struct AvahiClient;
struct AvahiGLibPoll;
struct AvahiServiceBrowser;

// Browses for one DNS-SD service type through avahi-daemon and resolves what it finds.
class ServiceBrowser {
public:
    struct Service {
        QString name;
        QString hostName;
        QString address;
        quint16 port = 0;
    };

    ServiceBrowser();
    ~ServiceBrowser();
    ServiceBrowser(const ServiceBrowser&) = delete;
    ServiceBrowser& operator=(const ServiceBrowser&) = delete;

    std::function<void(const Service& service)> onFound;
    // The daemon cannot be reached, or browsing failed: the text says why.
    std::function<void(const QString& error)> onFailure;

    // Starts browsing; returns false (after onFailure) when there is no daemon to ask.
    bool browse(const QString& type);

private:
    struct Callbacks;
    friend struct Callbacks;

    AvahiGLibPoll* m_poll = nullptr;
    AvahiClient* m_client = nullptr;
    AvahiServiceBrowser* m_browser = nullptr;
};
