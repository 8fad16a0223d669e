#pragma once

#include <QString>
#include <QStringList>

// The avahi-daemon of the isolated test machine (tests/env/avahi) and what it sees.
namespace Tests {

// The resolved _ovuhelper._tcp services as avahi-browse reports them, "NAME PORT" each.
QStringList browse();
// Waits until a service with this name and port is seen.
bool waitForService(const QString& name, quint16 port, int seconds = 10);
// Starts or stops the daemon (the bus stays).
void runAvahiDaemon(bool running);

} // namespace Tests
