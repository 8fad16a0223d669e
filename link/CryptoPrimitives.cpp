#include "link/CryptoPrimitives.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <memory>

namespace Crypto {

namespace {

const unsigned char* bytes(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char*>(view.data());
}

struct KdfDeleter {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};

EVP_KDF* hkdfAlgorithm()
{
    // Fetching is the expensive part of an OpenSSL 3 operation; do it once per process.
    static const std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    return kdf.get();
}

} // namespace

QByteArray sha256(QByteArrayView data)
{
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_Digest(data.data(), static_cast<size_t>(data.size()), reinterpret_cast<unsigned char*>(digest.data()),
               &length, EVP_sha256(), nullptr);
    return digest;
}

QByteArray hkdfSha256(QByteArrayView inputKeyMaterial, QByteArrayView salt, QByteArrayView info, int length)
{
    std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(EVP_KDF_CTX_new(hkdfAlgorithm()));
    char digest[] = "SHA256";
    // OpenSSL takes the buffers as non-const but only reads them.
    static unsigned char none = 0;
    auto octets = [](const char* key, QByteArrayView view) {
        // An empty view may have no data pointer at all, which OpenSSL refuses.
        unsigned char* data = view.isEmpty() ? &none : const_cast<unsigned char*>(bytes(view));
        return OSSL_PARAM_construct_octet_string(key, data, static_cast<size_t>(view.size()));
    };
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, inputKeyMaterial),
        octets(OSSL_KDF_PARAM_SALT, salt),
        octets(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_END,
    };
    QByteArray output(length, Qt::Uninitialized);
    if (!ctx || EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(output.data()),
                               static_cast<size_t>(length), params) != 1) {
        return {};
    }
    return output;
}

std::optional<QByteArray> randomBytes(int count)
{
    QByteArray output(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(output.data()), count) != 1) {
        return std::nullopt;
    }
    return output;
}

} // namespace Crypto
