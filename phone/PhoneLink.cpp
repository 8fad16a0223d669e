#include "phone/PhoneLink.h"

#include "link/CryptoPrimitives.h"
#include "link/OVULink.h"
#include "phone/PhoneStore.h"

using namespace Qt::StringLiterals;

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
            self->channel->send(
                LinkMessages::Hello{self->m_store.phoneID(), self->m_phoneNonce, self->m_phoneName}.json());
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
    switch (m_step) {
    case Step::hello:
        if (const auto hello = LinkMessages::HelperHello::from(message)) {
            greeted(*hello);
        } else if (LinkMessages::typeOf(message) == u"hello"_s) {
            fail(u"The Mac’s greeting is not one this phone understands."_s);
        } else {
            fail(u"The Mac did not greet this phone."_s);
        }
        return;
    case Step::pairAnswer:
        if (LinkMessages::typeOf(message) != u"pair"_s || proved != known) {
            fail(u"The Mac answered the pairing with something else."_s);
        } else if (const auto answer = LinkMessages::PairAnswer::from(message)) {
            paired(*answer);
        } else {
            fail(u"The Mac’s pairing answer is not one this phone understands."_s);
        }
        return;
    case Step::decision:
        if (!proved) {
            fail(u"The Mac’s answer could not be checked."_s);
        } else if (LinkMessages::Paired::from(message)) {
            m_step = Step::proved;
            isProved = true;
            m_store.add(helperID, computerName, m_pairKey);
            if (onProved) {
                onProved();
            }
        } else if (LinkMessages::Denied::from(message)) {
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

void PhoneLink::greeted(const LinkMessages::HelperHello& hello)
{
    helperID = hello.id;
    computerName = hello.name;
    known = hello.known;
    m_helperNonce = hello.nonce;
    m_commitment = hello.commitment;
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
        channel->installKey(OVULink::sessionKey(*stored, m_phoneNonce, m_helperNonce));
        channel->requiresProof = true;
        channel->send(LinkMessages::Auth{}.json());
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
    channel->send(LinkMessages::Pair{m_key->publicKey()}.json());
    if (known) {
        channel->installKey(OVULink::sessionKey(*stored, m_phoneNonce, m_helperNonce));
    }
    m_step = Step::pairAnswer;
}

void PhoneLink::paired(const LinkMessages::PairAnswer& answer)
{
    if (!OVULinkChannel::constantTimeEqual(OVULink::commitment(answer.publicKey, answer.salt),
                                           m_commitment)) {
        fail(commitmentMismatch());
        return;
    }
    const std::optional<QByteArray> secret = m_key->sharedSecret(answer.publicKey);
    if (!secret) {
        fail(u"The Mac’s pairing key is not usable."_s);
        return;
    }
    const QByteArray phoneKey = m_key->publicKey();
    const QString code = OVULink::comparisonCode(*secret, phoneKey, answer.publicKey);
    m_pairKey = OVULink::pairKey(*secret, phoneKey, answer.publicKey);
    channel->installKey(OVULink::sessionKey(m_pairKey, m_phoneNonce, m_helperNonce));
    channel->requiresProof = true;
    m_step = Step::decision;
    if (onCode) {
        onCode(code);
    }
}
