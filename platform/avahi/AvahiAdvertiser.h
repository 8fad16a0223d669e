#pragma once

#include "core/ServiceAdvertiser.h"

#include <QObject>
#include <QString>
#include <QTimer>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiGLibPoll;

// DNS-SD advertisement through avahi-daemon, on the GLib main loop Qt runs on this platform.
// The listener never depends on it: without a daemon it waits, and when the daemon restarts it
// registers again. A name taken by someone else gives way to the alternative Avahi proposes.
class AvahiAdvertiser final : public ServiceAdvertiser {
public:
    AvahiAdvertiser();
    ~AvahiAdvertiser() override;

    void advertise(const QString& name, const QString& type, quint16 port) override;
    void withdraw() override;

    // The name currently registered (after any collision), for tests and the log.
    QString registeredName() const { return m_name; }

private:
    struct Callbacks;
    friend struct Callbacks;
    void clientChanged(AvahiClient* client, int state);
    void groupChanged(AvahiEntryGroup* group, int state);

    void connectClient();
    void dropClient();
    void publish();
    void takeAlternativeName();

    AvahiGLibPoll* m_poll = nullptr;
    AvahiClient* m_client = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    QTimer m_retry;
    bool m_wanted = false;
    QString m_requestedName;
    QString m_name;
    QString m_type;
    quint16 m_port = 0;
    // The daemon is reported missing once until it is there again.
    bool m_reportedMissing = false;
};
