#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <initializer_list>
#include <memory>

struct evp_mac_ctx_st;

// HMAC-SHA256 (RFC 2104) under one key. The key schedule is set up once, so each tag costs only
// the hashing of its input.
class HmacSha256 {
public:
    explicit HmacSha256(QByteArrayView key);
    ~HmacSha256();
    HmacSha256(const HmacSha256&) = delete;
    HmacSha256& operator=(const HmacSha256&) = delete;

    static constexpr int tagSize = 32;

    // The tag over the concatenation of the parts, written to `out` (tagSize bytes).
    void tag(std::initializer_list<QByteArrayView> parts, char* out) const;
    QByteArray tag(std::initializer_list<QByteArrayView> parts) const;

private:
    struct Deleter {
        void operator()(evp_mac_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_mac_ctx_st, Deleter> m_context;
};
