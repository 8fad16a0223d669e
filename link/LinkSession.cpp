#include "link/LinkSession.h"

#include "link/Base64.h"
#include "link/CryptoPrimitives.h"
#include "link/Graphemes.h"
#include "link/OVULink.h"
#include "link/PairedDevices.h"

#include <QCoro/QCoroTimer>
#include <QObject>
#include <QTimer>

using namespace Qt::StringLiterals;

QString LinkSession::defaultDeviceName()
{
    return u"A phone"_s;
}

std::shared_ptr<LinkSession> LinkSession::create(std::unique_ptr<Connection> connection,
                                                 PairedDevices& devices, QString macName, AskToPair askToPair,
                                                 OnProved onProved, std::chrono::milliseconds timeout)
{
    std::shared_ptr<LinkSession> session(new LinkSession(std::move(connection), devices, std::move(macName),
                                                         std::move(askToPair), std::move(onProved)));
    session->begin(timeout);
    return session;
}

LinkSession::LinkSession(std::unique_ptr<Connection> connection, PairedDevices& devices, QString macName,
                         AskToPair askToPair, OnProved onProved)
    : channel(OVULinkChannel::create(std::move(connection), Role::mac))
    , macName(std::move(macName))
    , m_devices(devices)
    , m_askToPair(std::move(askToPair))
    , m_onProved(std::move(onProved))
    , m_macNonce(Crypto::randomBytes(OVULink::nonceSize).value_or(QByteArray()))
    , m_pairingKey(X25519KeyPair::generate())
    , m_pairingSalt(Crypto::randomBytes(OVULink::saltSize).value_or(QByteArray()))
    , m_timerContext(std::make_unique<QObject>())
{}

LinkSession::~LinkSession() = default;

void LinkSession::begin(std::chrono::milliseconds timeout)
{
    std::weak_ptr<LinkSession> weak = weak_from_this();
    channel->onMessage = [weak](const QJsonObject& message, bool proved) {
        if (auto self = weak.lock()) {
            self->handle(message, proved);
        }
    };
    channel->onClosed = [weak](const std::optional<QString>&) {
        if (auto self = weak.lock(); self && self->onClosed) {
            auto closed = self->onClosed;
            closed();
        }
    };
    channel->start();
    QTimer::singleShot(timeout, Qt::PreciseTimer, m_timerContext.get(), [weak] {
        if (auto self = weak.lock(); self && !self->isProved) {
            self->close();
        }
    });
    if (m_macNonce.isEmpty() || m_pairingSalt.isEmpty() || !m_pairingKey) {
        // Without secure random values there is no safe handshake. Closing is deferred so the
        // owner has installed its closed callback by then.
        QTimer::singleShot(0, m_timerContext.get(), [weak] {
            if (auto self = weak.lock()) {
                self->close();
            }
        });
    }
}

void LinkSession::close()
{
    channel->close();
    if (onClosed) {
        auto closed = std::move(onClosed);
        onClosed = nullptr;
        closed();
    }
}

void LinkSession::handle(const QJsonObject& message, bool proved)
{
    if (isProved) {
        if (proved && onMessage) {
            auto handler = onMessage;
            handler(message);
        }
        return;
    }
    const QJsonValue type = message.value(u"t"_s);
    const QString name = type.isString() ? type.toString() : QString();
    if (name == u"hello"_s) {
        hello(message);
    } else if (name == u"auth"_s) {
        auth(proved);
    } else if (name == u"pair"_s) {
        pair(message, proved);
    } else {
        close();
    }
}

void LinkSession::hello(const QJsonObject& message)
{
    if (m_gotHello) {
        close();
        return;
    }
    const QJsonValue id = message.value(u"id"_s);
    if (!id.isString() || id.toString().isEmpty() || Graphemes::count(id.toString()) > maximumIDLength) {
        close();
        return;
    }
    const QJsonValue nonceText = message.value(u"nonce"_s);
    const std::optional<QByteArray> nonce =
        nonceText.isString() ? Base64::decode(nonceText.toString()) : std::optional<QByteArray>();
    if (!nonce || nonce->size() != OVULink::nonceSize) {
        close();
        return;
    }
    m_gotHello = true;
    deviceID = id.toString();
    const QJsonValue name = message.value(u"name"_s);
    if (name.isString() && !name.toString().isEmpty()) {
        deviceName = Graphemes::prefix(name.toString(), maximumNameLength);
    }
    m_phoneNonce = *nonce;

    const std::optional<QByteArray> stored = m_devices.key(deviceID);
    channel->send(QJsonObject{
        {u"t"_s, u"hello"_s},
        {u"v"_s, 1},
        {u"id"_s, m_devices.helperID()},
        {u"name"_s, macName},
        {u"nonce"_s, Base64::encode(m_macNonce)},
        {u"known"_s, stored.has_value()},
        {u"commit"_s, Base64::encode(OVULink::commitment(m_pairingKey->publicKey(), m_pairingSalt))},
    });
    if (stored) {
        // The phone may now prove itself; it may still pair afresh with a plain "pair".
        channel->installKey(OVULink::sessionKey(*stored, m_phoneNonce, m_macNonce));
    }
}

void LinkSession::auth(bool proved)
{
    if (!m_gotHello || !proved || m_pairing) {
        close();
        return;
    }
    channel->requiresProof = true;
    isProved = true;
    if (m_onProved) {
        m_onProved(shared_from_this());
    }
}

void LinkSession::pair(const QJsonObject& message, bool proved)
{
    if (!m_gotHello || proved || m_pairing) {
        close();
        return;
    }
    const QJsonValue pub = message.value(u"pub"_s);
    const std::optional<QByteArray> phoneKey =
        pub.isString() ? Base64::decode(pub.toString()) : std::optional<QByteArray>();
    if (!phoneKey) {
        close();
        return;
    }
    const std::optional<QByteArray> secret = m_pairingKey->sharedSecret(*phoneKey);
    if (!secret) {
        close();
        return;
    }
    m_pairing = true;
    const QByteArray macKey = m_pairingKey->publicKey();
    channel->send(QJsonObject{
        {u"t"_s, u"pair"_s},
        {u"pub"_s, Base64::encode(macKey)},
        {u"salt"_s, Base64::encode(m_pairingSalt)},
    });
    const QString code = OVULink::comparisonCode(*secret, *phoneKey, macKey);
    const QByteArray pairKey = OVULink::pairKey(*secret, *phoneKey, macKey);
    channel->installKey(OVULink::sessionKey(pairKey, m_phoneNonce, m_macNonce));
    channel->requiresProof = true;
    decide(shared_from_this(), code, pairKey);
}

QCoro::Task<> LinkSession::decide(std::shared_ptr<LinkSession> self, QString code, QByteArray pairKey)
{
    const bool allowed = self->m_askToPair ? co_await self->m_askToPair(self->deviceName, code) : false;
    if (self->channel->isClosed()) {
        // The phone is gone (or the time ran out): it never hears the answer, so nothing is
        // stored and the session is not proved.
        co_return;
    }
    if (allowed) {
        self->m_devices.add(
            PairedDevice{self->deviceID, self->deviceName, pairKey, std::chrono::system_clock::now()});
        self->channel->send(QJsonObject{{u"t"_s, u"paired"_s}});
        self->channel->requiresProof = true;
        self->isProved = true;
        if (self->m_onProved) {
            self->m_onProved(self);
        }
    } else {
        self->channel->send(QJsonObject{{u"t"_s, u"denied"_s}});
        co_await QCoro::sleepFor(std::chrono::milliseconds(300));
        self->close();
    }
}
