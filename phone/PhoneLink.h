#pragma once

#include "link/LinkMessages.h"
#include "link/OVULinkChannel.h"
#include "link/X25519KeyPair.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Connection;
class PhoneStore;

// The phone's end of the link handshake: greets the helper, then either proves itself with the
// key stored for that helper or pairs anew, checking the helper's commitment and computing the
// same code the helper shows.
class PhoneLink : public std::enable_shared_from_this<PhoneLink> {
public:
    // connectOrPair: prove itself when the helper knows this phone, else pair.
    enum class Mode { pair, connect, connectOrPair };

    static std::shared_ptr<PhoneLink> create(std::unique_ptr<Connection> connection, PhoneStore& store,
                                             QString phoneName, Mode mode);
    PhoneLink(const PhoneLink&) = delete;
    PhoneLink& operator=(const PhoneLink&) = delete;

    // The helper's hello arrived.
    std::function<void()> onGreeted;
    // Pairing: the code to compare with the one the helper shows.
    std::function<void(const QString& code)> onCode;
    // Pairing allowed and stored, or the known phone's "auth" sent: the link is proved.
    std::function<void()> onProved;
    std::function<void()> onDenied;
    // Every authenticated message after proof.
    std::function<void(const QJsonObject& message)> onMessage;
    // The link ended: the text says why (absent when it closed without a reason).
    std::function<void(const std::optional<QString>& reason)> onClosed;

    void start();
    void send(const QJsonObject& message);
    void close();

    const std::shared_ptr<OVULinkChannel> channel;
    QString helperID;
    QString computerName;
    bool known = false;
    bool isProved = false;

    static QString commitmentMismatch();

private:
    enum class Step { hello, pairAnswer, decision, proved };
    PhoneLink(std::unique_ptr<Connection> connection, PhoneStore& store, QString phoneName, Mode mode);

    void handle(const QJsonObject& message, bool proved);
    void greeted(const LinkMessages::HelperHello& hello);
    void paired(const LinkMessages::PairAnswer& answer);
    void fail(const QString& reason);

    PhoneStore& m_store;
    const QString m_phoneName;
    const Mode m_mode;
    Step m_step = Step::hello;
    QByteArray m_phoneNonce;
    QByteArray m_helperNonce;
    QByteArray m_commitment;
    std::optional<X25519KeyPair> m_key;
    QByteArray m_pairKey;
};
