#include "link/HmacSha256.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

namespace {

EVP_MAC* hmacAlgorithm()
{
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

} // namespace

void HmacSha256::Deleter::operator()(evp_mac_ctx_st* ctx) const
{
    EVP_MAC_CTX_free(ctx);
}

HmacSha256::HmacSha256(QByteArrayView key) : m_context(EVP_MAC_CTX_new(hmacAlgorithm()))
{
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_END};
    EVP_MAC_init(m_context.get(), reinterpret_cast<const unsigned char*>(key.data()),
                 static_cast<size_t>(key.size()), params);
}

HmacSha256::~HmacSha256() = default;

void HmacSha256::tag(std::initializer_list<QByteArrayView> parts, char* out) const
{
    EVP_MAC_CTX* ctx = m_context.get();
    // Re-initialising without a key keeps the key and restarts the computation.
    EVP_MAC_init(ctx, nullptr, 0, nullptr);
    for (QByteArrayView part : parts) {
        EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(part.data()),
                       static_cast<size_t>(part.size()));
    }
    size_t length = 0;
    EVP_MAC_final(ctx, reinterpret_cast<unsigned char*>(out), &length, tagSize);
}

QByteArray HmacSha256::tag(std::initializer_list<QByteArrayView> parts) const
{
    QByteArray out(tagSize, Qt::Uninitialized);
    tag(parts, out.data());
    return out;
}
