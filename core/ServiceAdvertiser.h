#pragma once

#include <QString>

// Announces the listener on the local network by DNS-SD.
class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;

    // Advertises (or re-advertises) the service; replaces an earlier advertisement.
    virtual void advertise(const QString& name, const QString& type, quint16 port) = 0;
    // Takes the advertisement back.
    virtual void withdraw() = 0;
};
