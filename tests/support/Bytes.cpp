#include "tests/support/Bytes.h"

#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace Tests {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text));
}

QByteArray bigEndian32(std::uint32_t value)
{
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian(value, out.data());
    return out;
}

QByteArray bigEndian64(std::uint64_t value)
{
    QByteArray out(8, Qt::Uninitialized);
    qToBigEndian(value, out.data());
    return out;
}

QByteArray frame(char flag, const QByteArray& body)
{
    return bigEndian32(static_cast<std::uint32_t>(body.size() + 1)) + QByteArray(1, flag) + body;
}

QByteArray hmac(const QByteArray& key, const QByteArray& data)
{
    unsigned char out[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.constData(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.constData()), static_cast<size_t>(data.size()), out,
         &length);
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(length));
}

QByteArray sealedFrame(const QByteArray& key, char label, std::uint64_t counter, const QByteArray& payload)
{
    const QByteArray tag = hmac(key, QByteArray(1, label) + bigEndian64(counter) + payload);
    return frame(0x01, payload + tag);
}

std::string hexOf(const QByteArray& bytes)
{
    return bytes.toHex().toStdString();
}

} // namespace Tests
