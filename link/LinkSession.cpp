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
                                                 PairedDevices& devices, QString computerName,
                                                 AskToPair askToPair, OnProved onProved,
                                                 std::chrono::milliseconds timeout)
{
    std::shared_ptr<LinkSession> session(new LinkSession(
        std::move(connection), devices, std::move(computerName), std::move(askToPair), std::move(onProved)));
    session->begin(timeout);
    return session;
}

LinkSession::LinkSession(std::unique_ptr<Connection> connection, PairedDevices& devices, QString computerName,
                         AskToPair askToPair, OnProved onProved)
    : channel(OVULinkChannel::create(std::move(connection), Role::helper))
    , computerName(std::move(computerName))
    , m_devices(devices)
    , m_askToPair(std::move(askToPair))
    , m_onProved(std::move(onProved))
    , m_helperNonce(Crypto::randomBytes(OVULink::nonceSize).value_or(QByteArray()))
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
    if (m_helperNonce.isEmpty() || m_pairingSalt.isEmpty() || !m_pairingKey) {
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
    if (const auto hello = LinkMessages::Hello::from(message)) {
        greet(*hello);
    } else if (LinkMessages::Auth::from(message)) {
        auth(proved);
    } else if (const auto pair = LinkMessages::Pair::from(message)) {
        this->pair(*pair, proved);
    } else {
        close();
    }
}

void LinkSession::greet(const LinkMessages::Hello& hello)
{
    if (m_gotHello) {
        close();
        return;
    }
    m_gotHello = true;
    deviceID = hello.id;
    if (hello.name && !hello.name->isEmpty()) {
        deviceName = Graphemes::prefix(*hello.name, maximumNameLength);
    }
    m_phoneNonce = hello.nonce;

    const std::optional<QByteArray> stored = m_devices.key(deviceID);
    channel->send(LinkMessages::HelperHello{m_devices.helperID(), computerName, m_helperNonce,
                                            stored.has_value(),
                                            OVULink::commitment(m_pairingKey->publicKey(), m_pairingSalt)}
                      .json());
    if (stored) {
        // The phone may now prove itself; it may still pair afresh with a plain "pair".
        channel->installKey(OVULink::sessionKey(*stored, m_phoneNonce, m_helperNonce));
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

void LinkSession::pair(const LinkMessages::Pair& pair, bool proved)
{
    if (!m_gotHello || proved || m_pairing) {
        close();
        return;
    }
    const std::optional<QByteArray> secret = m_pairingKey->sharedSecret(pair.publicKey);
    if (!secret) {
        close();
        return;
    }
    m_pairing = true;
    const QByteArray helperKey = m_pairingKey->publicKey();
    channel->send(LinkMessages::PairAnswer{helperKey, m_pairingSalt}.json());
    const QString code = OVULink::comparisonCode(*secret, pair.publicKey, helperKey);
    const QByteArray pairKey = OVULink::pairKey(*secret, pair.publicKey, helperKey);
    channel->installKey(OVULink::sessionKey(pairKey, m_phoneNonce, m_helperNonce));
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
        self->channel->send(LinkMessages::Paired{}.json());
        self->channel->requiresProof = true;
        self->isProved = true;
        if (self->m_onProved) {
            self->m_onProved(self);
        }
    } else {
        self->channel->send(LinkMessages::Denied{}.json());
        co_await QCoro::sleepFor(std::chrono::milliseconds(300));
        self->close();
    }
}
