#pragma once

#include <QString>

// The name this computer goes by on the network and in the phone's list: the "pretty" host name
// when one is set, else the host name, else "Mac".
namespace MachineName {

QString current();

// The same choice, with the machine-info file given (PRETTY_HOSTNAME=…, shell-quoted) and the
// host name given, so it can be checked without touching the system.
QString choose(const QString& machineInfoPath, const QString& hostName);

// PRETTY_HOSTNAME from machine-info text, unquoted; empty when it is not set.
QString prettyHostName(const QByteArray& machineInfo);

} // namespace MachineName
