#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <optional>

struct evp_pkey_st;

// An X25519 private key (RFC 7748) with its public key.
class X25519KeyPair {
public:
    static constexpr int keySize = 32;

    // A fresh key from the secure random generator; nothing if the generator fails.
    static std::optional<X25519KeyPair> generate();
    // A key from its 32 raw private bytes (for fixed test vectors).
    static std::optional<X25519KeyPair> fromPrivateBytes(QByteArrayView raw);

    // The raw public key: the u-coordinate, 32 bytes.
    QByteArray publicKey() const;
    // The raw shared secret with a peer's raw public key; nothing when the peer's key is not an
    // X25519 public key (not 32 bytes) or the agreement fails (a low-order point).
    std::optional<QByteArray> sharedSecret(QByteArrayView peerPublicKey) const;

private:
    struct Deleter {
        void operator()(evp_pkey_st* key) const;
    };
    explicit X25519KeyPair(evp_pkey_st* key);
    std::shared_ptr<evp_pkey_st> m_key;
};
