#pragma once

#include <QList>
#include <QString>

// The avahi-daemon of the isolated test machine (tests/env/avahi) and what it sees.
namespace Tests {

struct BrowsedService {
    QString name;
    QString address;
    quint16 port = 0;
};

// Resolved services of the type, as avahi-browse reports them (names decoded).
QList<BrowsedService> browse(const QString& type = QStringLiteral("_ovuhelper._tcp"));
// Waits until a service with this name (and port, when given) is seen.
bool waitForService(const QString& name, quint16 port = 0, int seconds = 10);
// Stops or starts the daemon (the bus stays).
void stopAvahiDaemon();
void startAvahiDaemon();
// avahi-browse escapes names byte by byte as \DDD of their UTF-8 bytes.
QString decodeAvahiName(const QByteArray& escaped);

} // namespace Tests
