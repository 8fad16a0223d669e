#pragma once

#include "link/LinkMessages.h"
#include "link/OVULinkChannel.h"
#include "link/X25519KeyPair.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Connection;
class PairedDevices;
class QObject;

// The helper's side of one phone connection: runs the handshake until the phone has proved
// itself, either with the key stored for it ("auth") or by pairing anew (X25519 with a
// commitment and a six-digit code the user compares), then passes authenticated messages on.
class LinkSession : public std::enable_shared_from_this<LinkSession> {
public:
    using AskToPair = std::function<QCoro::Task<bool>(QString name, QString code)>;
    using OnProved = std::function<void(const std::shared_ptr<LinkSession>& session)>;

    // A session not proved within this time is closed.
    static constexpr std::chrono::seconds proofTimeout{120};
    static constexpr qsizetype maximumNameLength = 60;

    // Creates the session and starts its channel; the caller keeps it alive until it ends.
    static std::shared_ptr<LinkSession> create(std::unique_ptr<Connection> connection, PairedDevices& devices,
                                               QString computerName, AskToPair askToPair, OnProved onProved,
                                               std::chrono::milliseconds timeout = proofTimeout);
    ~LinkSession();
    LinkSession(const LinkSession&) = delete;
    LinkSession& operator=(const LinkSession&) = delete;

    const std::shared_ptr<OVULinkChannel> channel;
    QString deviceID;
    QString deviceName = defaultDeviceName();
    bool isProved = false;

    std::function<void(const QJsonObject& message)> onMessage;
    std::function<void()> onClosed;

    const QString computerName;
    const QByteArray& helperNonce() const { return m_helperNonce; }
    const QByteArray& phoneNonce() const { return m_phoneNonce; }
    const QByteArray& pairingSalt() const { return m_pairingSalt; }
    bool gotHello() const { return m_gotHello; }
    bool pairing() const { return m_pairing; }

    // Ends the session from this end: closes the channel, then calls onClosed once more if set
    // and clears it.
    void close();

    static QString defaultDeviceName();

private:
    LinkSession(std::unique_ptr<Connection> connection, PairedDevices& devices, QString computerName,
                AskToPair askToPair, OnProved onProved);
    void begin(std::chrono::milliseconds timeout);
    void handle(const QJsonObject& message, bool proved);
    void greet(const LinkMessages::Hello& hello);
    void auth(bool proved);
    void pair(const LinkMessages::Pair& pair, bool proved);
    static QCoro::Task<> decide(std::shared_ptr<LinkSession> self, QString code, QByteArray pairKey);

    PairedDevices& m_devices;
    const AskToPair m_askToPair;
    const OnProved m_onProved;
    QByteArray m_helperNonce;
    QByteArray m_phoneNonce;
    std::optional<X25519KeyPair> m_pairingKey;
    QByteArray m_pairingSalt;
    bool m_gotHello = false;
    bool m_pairing = false;
    // Context of the proof timer: it goes with the session.
    std::unique_ptr<QObject> m_timerContext;
};
