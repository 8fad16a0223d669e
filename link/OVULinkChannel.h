#pragma once

#include "link/Connection.h"
#include "link/HmacSha256.h"
#include "link/Role.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// Carries JSON messages between the helper and one phone over one connection. Each message is a
// frame: a 4-byte big-endian length, a flag byte (0x00 plain, 0x01 authenticated), and the body.
// Once a key is installed, every frame sent carries an HMAC-SHA256 tag over the sender's direction
// label, its frame counter and the payload; received frames are checked the same way. Any
// violation by the other end ends the channel with a fixed sentence.
class OVULinkChannel : public std::enable_shared_from_this<OVULinkChannel> {
public:
    static constexpr std::uint32_t maximumFrameLength = 1'048'576;
    static constexpr int tagSize = HmacSha256::tagSize;

    // The sentences the channel ends with.
    static const QString notOVU;
    static const QString closedByOtherEnd;
    static const QString withoutProof;
    static const QString cannotCheck;
    static const QString cannotProve;

    static std::shared_ptr<OVULinkChannel> create(std::unique_ptr<Connection> connection, Role role);
    ~OVULinkChannel();
    OVULinkChannel(const OVULinkChannel&) = delete;
    OVULinkChannel& operator=(const OVULinkChannel&) = delete;

    const Role role;

    // The authentication key; installing one resets both counters to 0.
    const std::optional<QByteArray>& key() const { return m_key; }
    void installKey(const QByteArray& key);

    std::uint64_t sendCounter = 0;
    std::uint64_t receiveCounter = 0;
    // When set, every received frame must be authenticated.
    bool requiresProof = false;
    bool isClosed() const { return m_closed; }

    std::function<void()> onOpen;
    std::function<void(const QJsonObject& message, bool proved)> onMessage;
    // Called at most once, when the other end or the connection ends the channel (not on close()).
    std::function<void(const std::optional<QString>& reason)> onClosed;

    // Installs the state handler and starts the connection. Called once, after the callbacks are set.
    void start();
    // Sends one message: authenticated when a key is installed, plain otherwise. A message that
    // cannot be serialised, or a send on a closed channel, does nothing.
    void send(const QJsonObject& message);
    // Closes from this end without reporting.
    void close();

    Connection& connection() const { return *m_connection; }

    // Comparison whose running time does not depend on where the sequences differ.
    static bool constantTimeEqual(QByteArrayView a, QByteArrayView b);
    // The serialised payload of a message, or nothing when it cannot be serialised (a number
    // that is not finite, as the platform serializer refuses).
    static std::optional<QByteArray> serialize(const QJsonObject& message);

private:
    OVULinkChannel(std::unique_ptr<Connection> connection, Role role);

    void handleState(Connection::State state, const std::optional<QString>& error);
    void finish(const std::optional<QString>& reason);
    void readHeader();
    void readFrame(std::uint32_t length);
    void handleFrame(const QByteArray& frame);

    std::unique_ptr<Connection> m_connection;
    std::optional<QByteArray> m_key;
    std::unique_ptr<HmacSha256> m_hmac;
    bool m_closed = false;
};
