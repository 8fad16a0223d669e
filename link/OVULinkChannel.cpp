#include "link/OVULinkChannel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QtEndian>

#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace Qt::StringLiterals;

const QString OVULinkChannel::notOVU = u"The other end sent something that is not OVU."_s;
const QString OVULinkChannel::closedByOtherEnd = u"The other end closed the connection."_s;
const QString OVULinkChannel::withoutProof = u"The other end sent a message without proof."_s;
const QString OVULinkChannel::cannotCheck = u"The other end sent a message this end cannot check."_s;
const QString OVULinkChannel::cannotProve = u"The other end could not prove who it is."_s;

namespace {

constexpr char plainFlag = 0x00;
constexpr char authenticatedFlag = 0x01;

QByteArray counterBytes(std::uint64_t counter)
{
    QByteArray bytes(8, Qt::Uninitialized);
    qToBigEndian(counter, bytes.data());
    return bytes;
}

bool isSerializable(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return std::isfinite(value.toDouble());
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        return std::all_of(array.begin(), array.end(), [](const QJsonValue& v) { return isSerializable(v); });
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        return std::all_of(object.begin(), object.end(),
                           [](const QJsonValue& v) { return isSerializable(v); });
    }
    default:
        return true;
    }
}

} // namespace

std::shared_ptr<OVULinkChannel> OVULinkChannel::create(std::unique_ptr<Connection> connection, Role role)
{
    return std::shared_ptr<OVULinkChannel>(new OVULinkChannel(std::move(connection), role));
}

OVULinkChannel::OVULinkChannel(std::unique_ptr<Connection> connection, Role role)
    : role(role)
    , m_connection(std::move(connection))
{}

OVULinkChannel::~OVULinkChannel()
{
    // A channel released without close() must not leave its connection open.
    if (!m_closed) {
        m_connection->cancel();
    }
}

void OVULinkChannel::installKey(const QByteArray& key)
{
    m_key = key;
    m_hmac = std::make_unique<HmacSha256>(key);
    sendCounter = 0;
    receiveCounter = 0;
}

void OVULinkChannel::start()
{
    std::weak_ptr<OVULinkChannel> weak = weak_from_this();
    m_connection->stateHandler = [weak](Connection::State state, const std::optional<QString>& error) {
        if (auto self = weak.lock()) {
            self->handleState(state, error);
        }
    };
    m_connection->start();
}

void OVULinkChannel::handleState(Connection::State state, const std::optional<QString>& error)
{
    switch (state) {
    case Connection::State::ready:
        if (onOpen) {
            auto handler = onOpen;
            handler();
        }
        if (!m_closed) {
            readHeader();
        }
        break;
    case Connection::State::waiting:
        if (error) {
            finish(u"Could not reach the Mac: "_s + *error);
        }
        break;
    case Connection::State::failed:
        finish(u"The connection failed: "_s + error.value_or(QString()));
        break;
    case Connection::State::cancelled:
        finish(std::nullopt);
        break;
    case Connection::State::setup:
    case Connection::State::preparing:
        break;
    }
}

std::optional<QByteArray> OVULinkChannel::serialize(const QJsonObject& message)
{
    if (!isSerializable(message)) {
        return std::nullopt;
    }
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

void OVULinkChannel::send(const QJsonObject& message)
{
    if (m_closed) {
        return;
    }
    const std::optional<QByteArray> payload = serialize(message);
    if (!payload) {
        return;
    }
    const qsizetype bodySize = 1 + payload->size() + (m_hmac ? tagSize : 0);
    QByteArray packet(4 + bodySize, Qt::Uninitialized);
    char* out = packet.data();
    qToBigEndian(static_cast<std::uint32_t>(bodySize), out);
    out[4] = m_hmac ? authenticatedFlag : plainFlag;
    std::memcpy(out + 5, payload->constData(), static_cast<size_t>(payload->size()));
    if (m_hmac) {
        const char label = static_cast<char>(rawValue(role));
        m_hmac->tag({QByteArrayView(&label, 1), counterBytes(sendCounter), *payload},
                    out + 5 + payload->size());
        ++sendCounter;
    }
    m_connection->send(std::move(packet));
}

void OVULinkChannel::close()
{
    if (m_closed) {
        return;
    }
    m_closed = true;
    onMessage = nullptr;
    m_connection->cancel();
}

void OVULinkChannel::finish(const std::optional<QString>& reason)
{
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_connection->cancel();
    auto closed = std::move(onClosed);
    onClosed = nullptr;
    onMessage = nullptr;
    if (closed) {
        closed(reason);
    }
}

bool OVULinkChannel::constantTimeEqual(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size()) {
        return false;
    }
    // CRYPTO_memcmp ors the exclusive-or of every pair of bytes, visiting every position.
    return CRYPTO_memcmp(a.data(), b.data(), static_cast<size_t>(a.size())) == 0;
}

void OVULinkChannel::readHeader()
{
    std::weak_ptr<OVULinkChannel> weak = weak_from_this();
    m_connection->receive(4, [weak](Connection::Received received) {
        auto self = weak.lock();
        if (!self || self->m_closed) {
            return;
        }
        if (received.data.size() == 4 && !received.error) {
            const auto length = qFromBigEndian<std::uint32_t>(received.data.constData());
            if (length < 1 || length > maximumFrameLength) {
                self->finish(notOVU);
            } else {
                self->readFrame(length);
            }
        } else if (received.endOfStream || received.error) {
            self->finish(closedByOtherEnd);
        } else {
            self->finish(std::nullopt);
        }
    });
}

void OVULinkChannel::readFrame(std::uint32_t length)
{
    std::weak_ptr<OVULinkChannel> weak = weak_from_this();
    m_connection->receive(length, [weak, length](Connection::Received received) {
        auto self = weak.lock();
        if (!self || self->m_closed) {
            return;
        }
        if (received.data.size() != length || received.error) {
            self->finish(closedByOtherEnd);
            return;
        }
        self->handleFrame(received.data);
        if (!self->m_closed) {
            self->readHeader();
        }
    });
}

void OVULinkChannel::handleFrame(const QByteArray& frame)
{
    const char flag = frame.front();
    const qsizetype bodySize = frame.size() - 1;
    QByteArrayView payload;
    bool proved = false;
    if (flag == plainFlag) {
        if (requiresProof) {
            finish(withoutProof);
            return;
        }
        payload = QByteArrayView(frame).sliced(1);
    } else if (flag == authenticatedFlag) {
        if (!m_hmac || bodySize < tagSize + 1) {
            finish(cannotCheck);
            return;
        }
        payload = QByteArrayView(frame).sliced(1, bodySize - tagSize);
        const QByteArrayView tag = QByteArrayView(frame).sliced(1 + payload.size());
        const char label = static_cast<char>(rawValue(otherRole(role)));
        char expected[tagSize];
        m_hmac->tag({QByteArrayView(&label, 1), counterBytes(receiveCounter), payload}, expected);
        if (!constantTimeEqual(QByteArrayView(expected, tagSize), tag)) {
            finish(cannotProve);
            return;
        }
        ++receiveCounter;
        proved = true;
    } else {
        finish(withoutProof);
        return;
    }

    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(payload.data(), payload.size()), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        finish(notOVU);
        return;
    }
    if (onMessage) {
        auto handler = onMessage;
        handler(document.object(), proved);
    }
}
