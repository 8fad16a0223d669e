#include "phone/PhoneLink.h"

#include "link/Base64.h"
#include "link/CryptoPrimitives.h"
#include "link/OVULink.h"
#include "phone/PhoneStore.h"

using namespace Qt::StringLiterals;

namespace {

std::optional<QByteArray> bytesField(const QJsonObject& message, const QString& key, qsizetype size)
{
    const QJsonValue value = message.value(key);
    if (!value.isString()) {
        return std::nullopt;
    }
    std::optional<QByteArray> bytes = Base64::decode(value.toString());
    if (!bytes || bytes->size() != size) {
        return std::nullopt;
    }
    return bytes;
}

QString typeOf(const QJsonObject& message)
{
    return message.value(u"t"_s).toString();
}

} // namespace

QString PhoneLink::commitmentMismatch()
{
    return u"The Mac’s key does not match the commitment it sent first: pairing stopped."_s;
}

std::shared_ptr<PhoneLink> PhoneLink::create(std::unique_ptr<Connection> connection, PhoneStore& store,
                                             QString phoneName, Mode mode)
{
    return std::shared_ptr<PhoneLink>(
        new PhoneLink(std::move(connection), store, std::move(phoneName), mode));
}

PhoneLink::PhoneLink(std::unique_ptr<Connection> connection, PhoneStore& store, QString phoneName, Mode mode)
    : channel(OVULinkChannel::create(std::move(connection), Role::phone))
    , m_store(store)
    , m_phoneName(std::move(phoneName))
    , m_mode(mode)
    , m_phoneNonce(Crypto::randomBytes(OVULink::nonceSize).value_or(QByteArray()))
{}

void PhoneLink::start()
{
    std::weak_ptr<PhoneLink> weak = weak_from_this();
    channel->onOpen = [weak] {
        if (auto self = weak.lock()) {
            self->channel->send(QJsonObject{
                {u"t"_s, u"hello"_s},
                {u"id"_s, self->m_store.phoneID()},
                {u"nonce"_s, Base64::encode(self->m_phoneNonce)},
                {u"name"_s, self->m_phoneName},
            });
        }
    };
    channel->onMessage = [weak](const QJsonObject& message, bool proved) {
        if (auto self = weak.lock()) {
            self->handle(message, proved);
        }
    };
    channel->onClosed = [weak](const std::optional<QString>& reason) {
        if (auto self = weak.lock(); self && self->onClosed) {
            self->onClosed(reason);
        }
    };
    channel->start();
}

void PhoneLink::send(const QJsonObject& message)
{
    channel->send(message);
}

void PhoneLink::close()
{
    channel->close();
}

void PhoneLink::fail(const QString& reason)
{
    channel->close();
    if (onClosed) {
        onClosed(reason);
    }
}

void PhoneLink::handle(const QJsonObject& message, bool proved)
{
    const QString type = typeOf(message);
    switch (m_step) {
    case Step::hello:
        if (type != u"hello"_s) {
            fail(u"The Mac did not greet this phone."_s);
            return;
        }
        greeted(message);
        return;
    case Step::pairAnswer:
        if (type != u"pair"_s || proved != known) {
            fail(u"The Mac answered the pairing with something else."_s);
            return;
        }
        paired(message);
        return;
    case Step::decision:
        if (!proved) {
            fail(u"The Mac’s answer could not be checked."_s);
        } else if (type == u"paired"_s) {
            m_step = Step::proved;
            isProved = true;
            m_store.add(helperID, macName, m_pairKey);
            if (onProved) {
                onProved();
            }
        } else if (type == u"denied"_s) {
            channel->close();
            if (onDenied) {
                onDenied();
            }
        } else {
            fail(u"The Mac answered the pairing with something else."_s);
        }
        return;
    case Step::proved:
        if (proved && onMessage) {
            onMessage(message);
        }
        return;
    }
}

void PhoneLink::greeted(const QJsonObject& message)
{
    const std::optional<QByteArray> nonce = bytesField(message, u"nonce"_s, OVULink::nonceSize);
    const std::optional<QByteArray> commitment = bytesField(message, u"commit"_s, 32);
    if (!nonce || !commitment || !message.value(u"id"_s).isString()) {
        fail(u"The Mac’s greeting is not one this phone understands."_s);
        return;
    }
    helperID = message.value(u"id"_s).toString();
    macName = message.value(u"name"_s).toString();
    known = message.value(u"known"_s).toBool();
    m_macNonce = *nonce;
    m_commitment = *commitment;
    if (onGreeted) {
        onGreeted();
    }
    const std::optional<QByteArray> stored = m_store.key(helperID);

    if (m_mode == Mode::connect || (m_mode == Mode::connectOrPair && known && stored)) {
        if (!known || !stored) {
            fail(known ? u"This phone has no key for this Mac any more: pair again."_s
                       : u"This Mac does not know this phone yet: pair first."_s);
            return;
        }
        channel->installKey(OVULink::sessionKey(*stored, m_phoneNonce, m_macNonce));
        channel->requiresProof = true;
        channel->send(QJsonObject{{u"t"_s, u"auth"_s}});
        m_step = Step::proved;
        isProved = true;
        if (onProved) {
            onProved();
        }
        return;
    }

    if (known && !stored) {
        // The Mac would answer under a key this phone no longer has.
        fail(
            u"This Mac remembers this phone, but the phone has lost its key: forget the phone on the Mac first."_s);
        return;
    }
    m_key = X25519KeyPair::generate();
    if (!m_key) {
        fail(u"This phone could not make a pairing key."_s);
        return;
    }
    // "pair" always goes out plain; a known phone's key checks the Mac's answer.
    channel->send(QJsonObject{{u"t"_s, u"pair"_s}, {u"pub"_s, Base64::encode(m_key->publicKey())}});
    if (known) {
        channel->installKey(OVULink::sessionKey(*stored, m_phoneNonce, m_macNonce));
    }
    m_step = Step::pairAnswer;
}

void PhoneLink::paired(const QJsonObject& message)
{
    const std::optional<QByteArray> macKey = bytesField(message, u"pub"_s, 32);
    const std::optional<QByteArray> salt = bytesField(message, u"salt"_s, OVULink::saltSize);
    if (!macKey || !salt) {
        fail(u"The Mac’s pairing answer is not one this phone understands."_s);
        return;
    }
    if (!OVULinkChannel::constantTimeEqual(OVULink::commitment(*macKey, *salt), m_commitment)) {
        fail(commitmentMismatch());
        return;
    }
    const std::optional<QByteArray> secret = m_key->sharedSecret(*macKey);
    if (!secret) {
        fail(u"The Mac’s pairing key is not usable."_s);
        return;
    }
    const QByteArray phoneKey = m_key->publicKey();
    const QString code = OVULink::comparisonCode(*secret, phoneKey, *macKey);
    m_pairKey = OVULink::pairKey(*secret, phoneKey, *macKey);
    channel->installKey(OVULink::sessionKey(m_pairKey, m_phoneNonce, m_macNonce));
    channel->requiresProof = true;
    m_step = Step::decision;
    if (onCode) {
        onCode(code);
    }
}
