#pragma once

#include "core/LinkServer.h"
#include "link/TcpConnection.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneStore.h"

#include <QJsonObject>
#include <QList>
#include <QTemporaryDir>

#include <memory>

namespace Tests {

// A phone in the test's own process, talking to the helper over real TCP on loopback;
// `storeFolder` shares one phone identity between two connections.
struct ModelPhone {
    QTemporaryDir folder;
    PhoneStore store;
    std::shared_ptr<PhoneLink> link;
    QList<QJsonObject> messages;
    std::optional<QString> code;
    bool proved = false;
    bool denied = false;
    bool closed = false;

    ModelPhone(PhoneLink::Mode mode, const QString& name, const QString& storeFolder = {},
               quint16 port = LinkServer::preferredPort)
        : store(storeFolder.isEmpty() ? folder.path() + QStringLiteral("/phone") : storeFolder)
    {
        link = PhoneLink::create(std::make_unique<TcpConnection>(QStringLiteral("127.0.0.1"), port), store,
                                 name, mode);
        link->onCode = [this](const QString& c) { code = c; };
        link->onProved = [this] { proved = true; };
        link->onDenied = [this] { denied = true; };
        link->onMessage = [this](const QJsonObject& message) { messages.append(message); };
        link->onClosed = [this](const std::optional<QString>&) { closed = true; };
        link->start();
    }
};

} // namespace Tests
