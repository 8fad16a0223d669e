#include "link/OVULink.h"

#include "link/CryptoPrimitives.h"

#include <QtEndian>

namespace OVULink {

namespace {

QByteArray joined(QByteArrayView first, QByteArrayView second)
{
    QByteArray out;
    out.reserve(first.size() + second.size());
    out.append(first).append(second);
    return out;
}

} // namespace

QByteArray commitment(QByteArrayView publicKey, QByteArrayView salt)
{
    return Crypto::sha256(joined(publicKey, salt));
}

QString comparisonCode(QByteArrayView secret, QByteArrayView phoneKey, QByteArrayView helperKey)
{
    const QByteArray okm = Crypto::hkdfSha256(secret, joined(phoneKey, helperKey), codeLabel, 4);
    const quint32 n = qFromBigEndian<quint32>(okm.constData());
    return QString::number(n % 1'000'000).rightJustified(6, u'0');
}

QByteArray pairKey(QByteArrayView secret, QByteArrayView phoneKey, QByteArrayView helperKey)
{
    return Crypto::hkdfSha256(secret, joined(phoneKey, helperKey), pairKeyLabel, keySize);
}

QByteArray sessionKey(QByteArrayView pairingKey, QByteArrayView phoneNonce, QByteArrayView helperNonce)
{
    return Crypto::hkdfSha256(pairingKey, joined(phoneNonce, helperNonce), sessionLabel, keySize);
}

} // namespace OVULink
