#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The pairing computations both ends of a link perform. Every byte order, label and length here
// is shared with the phone: both must compute the same values.
namespace OVULink {

inline constexpr QByteArrayView codeLabel = "ovu-link code";
inline constexpr QByteArrayView pairKeyLabel = "ovu-link pair key";
inline constexpr QByteArrayView sessionLabel = "ovu-link session";

inline constexpr int nonceSize = 16;
inline constexpr int saltSize = 16;
inline constexpr int keySize = 32;

// SHA-256 of the public key followed by the salt.
QByteArray commitment(QByteArrayView publicKey, QByteArrayView salt);

// The six-digit comparison code: HKDF-SHA256 over the shared secret with salt phoneKey ‖ helperKey,
// four bytes read big-endian, modulo 1,000,000, zero-padded to six digits.
QString comparisonCode(QByteArrayView secret, QByteArrayView phoneKey, QByteArrayView helperKey);

// The long-term pairing key: HKDF-SHA256 over the shared secret with salt phoneKey ‖ helperKey, 32 bytes.
QByteArray pairKey(QByteArrayView secret, QByteArrayView phoneKey, QByteArrayView helperKey);

// The per-connection channel key: HKDF-SHA256 over the pairing key with salt phoneNonce ‖ helperNonce.
QByteArray sessionKey(QByteArrayView pairingKey, QByteArrayView phoneNonce, QByteArrayView helperNonce);

} // namespace OVULink
