#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The published primitives the link is built on, all from OpenSSL's libcrypto.
namespace Crypto {

// SHA-256 (FIPS 180-4) of the bytes.
QByteArray sha256(QByteArrayView data);

// HKDF with SHA-256 (RFC 5869), extract then expand, producing `length` bytes.
QByteArray hkdfSha256(QByteArrayView inputKeyMaterial, QByteArrayView salt, QByteArrayView info, int length);

// `count` bytes from the system's secure random generator, or nothing if it fails.
std::optional<QByteArray> randomBytes(int count);

} // namespace Crypto
