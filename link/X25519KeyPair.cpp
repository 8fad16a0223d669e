#include "link/X25519KeyPair.h"

#include <openssl/evp.h>

void X25519KeyPair::Deleter::operator()(evp_pkey_st* key) const
{
    EVP_PKEY_free(key);
}

X25519KeyPair::X25519KeyPair(evp_pkey_st* key) : m_key(key, Deleter{})
{}

std::optional<X25519KeyPair> X25519KeyPair::generate()
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    if (!key) {
        return std::nullopt;
    }
    return X25519KeyPair(key);
}

std::optional<X25519KeyPair> X25519KeyPair::fromPrivateBytes(QByteArrayView raw)
{
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr,
                                                 reinterpret_cast<const unsigned char*>(raw.data()),
                                                 static_cast<size_t>(raw.size()));
    if (!key) {
        return std::nullopt;
    }
    return X25519KeyPair(key);
}

QByteArray X25519KeyPair::publicKey() const
{
    QByteArray raw(keySize, Qt::Uninitialized);
    size_t length = keySize;
    EVP_PKEY_get_raw_public_key(m_key.get(), reinterpret_cast<unsigned char*>(raw.data()), &length);
    return raw;
}

std::optional<QByteArray> X25519KeyPair::sharedSecret(QByteArrayView peerPublicKey) const
{
    if (peerPublicKey.size() != keySize) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_PKEY, Deleter> peer(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_X25519, nullptr, reinterpret_cast<const unsigned char*>(peerPublicKey.data()), keySize));
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
    if (!peer || !ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        return std::nullopt;
    }
    QByteArray secret(keySize, Qt::Uninitialized);
    size_t length = keySize;
    // OpenSSL refuses an all-zero result, which a low-order peer point produces.
    if (EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(secret.data()), &length) != 1 ||
        length != keySize) {
        return std::nullopt;
    }
    return secret;
}
