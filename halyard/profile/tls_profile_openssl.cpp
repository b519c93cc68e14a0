// The profile's ClientHello on OpenSSL (the system's libcurl); the Core's
// own BoringSSL build uses tls_profile_boringssl.cpp instead.
#include "profile/tls_profile.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "profile/trust_anchors.h"

#ifndef OPENSSL_IS_BORINGSSL
#include <cstring>

namespace halyard {
namespace {

constexpr unsigned kRecordSizeLimit = 28;
constexpr unsigned kEncryptedClientHello = 0xfe0d;
constexpr unsigned kTrustAnchorIds = 0xca34;

// Chrome's ECH GREASE payload lengths (one per connection).
constexpr size_t kChromeEchPayloads[] = {144, 176, 208, 240};

// A GREASE value (RFC 8701): 0x?a?a with both nibbles equal.
unsigned random_grease() {
    unsigned char b = 0;
    if (RAND_bytes(&b, 1) != 1) b = 0;
    const unsigned n = b & 0x0f;
    return (n << 12) | 0x0a00 | (n << 4) | 0x0a;
}

// Payloads are built per hello and freed by OpenSSL through free_payload.
int add_empty(SSL*, unsigned, unsigned, const unsigned char** out, size_t* outlen, X509*, size_t, int*, void*) {
    static const unsigned char kNothing[1] = {0};
    *out = kNothing;
    *outlen = 0;
    return 1;
}

int add_record_size_limit(SSL*, unsigned, unsigned, const unsigned char** out, size_t* outlen, X509*, size_t,
                          int*, void* arg) {
    const auto limit = static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg));
    auto* p = static_cast<unsigned char*>(OPENSSL_malloc(2));
    if (p == nullptr) return -1;
    p[0] = static_cast<unsigned char>(limit >> 8);
    p[1] = static_cast<unsigned char>(limit & 0xff);
    *out = p;
    *outlen = 2;
    return 1;
}

// An outer ECH extension that no server can decrypt, as browsers send when
// they have no ECH configuration: HPKE suite HKDF-SHA256 / AES-128-GCM, a
// random config id, a random 32-byte encapsulated key and a random payload.
// `arg` holds the payload length, 0 for Chrome's per-connection choice.
int add_ech_grease(SSL*, unsigned, unsigned, const unsigned char** out, size_t* outlen, X509*, size_t, int*,
                   void* arg) {
    constexpr size_t kEnc = 32;
    size_t payload = static_cast<size_t>(reinterpret_cast<uintptr_t>(arg));
    if (payload == 0) {
        unsigned char pick = 0;
        if (RAND_bytes(&pick, 1) != 1) pick = 2;
        payload = kChromeEchPayloads[pick % 4];
    }
    const size_t len = 1 + 4 + 1 + 2 + kEnc + 2 + payload;
    auto* p = static_cast<unsigned char*>(OPENSSL_malloc(len));
    if (p == nullptr) return -1;
    size_t i = 0;
    p[i++] = 0;                          // outer ClientHello
    p[i++] = 0x00, p[i++] = 0x01;        // KDF HKDF-SHA256
    p[i++] = 0x00, p[i++] = 0x01;        // AEAD AES-128-GCM
    if (RAND_bytes(p + i, 1) != 1) p[i] = 0;
    ++i;
    p[i++] = 0x00, p[i++] = kEnc;
    if (RAND_bytes(p + i, kEnc) != 1) std::memset(p + i, 0x5a, kEnc);
    i += kEnc;
    p[i++] = static_cast<unsigned char>(payload >> 8), p[i++] = static_cast<unsigned char>(payload & 0xff);
    if (RAND_bytes(p + i, payload) != 1) std::memset(p + i, 0xa5, payload);
    *out = p;
    *outlen = len;
    return 1;
}

int add_trust_anchors(SSL*, unsigned, unsigned, const unsigned char** out, size_t* outlen, X509*, size_t, int*,
                      void*) {
    *out = reinterpret_cast<const unsigned char*>(kChromeTrustAnchors);
    *outlen = sizeof kChromeTrustAnchors - 1;
    return 1;
}

void free_payload(SSL*, unsigned, unsigned, const unsigned char* out, void*) {
    OPENSSL_free(const_cast<unsigned char*>(out));
}

void free_nothing(SSL*, unsigned, unsigned, const unsigned char*, void*) {}

// The server's answer to these extensions is accepted and ignored: a
// retry configuration for ECH, the peer's record limit (ours is the
// protocol maximum, so nothing changes).
int accept_answer(SSL*, unsigned, unsigned, const unsigned char*, size_t, X509*, size_t, int*, void*) { return 1; }

}  // namespace

bool apply_tls_profile(SSL_CTX* ctx, const TlsProfile& p) {
    bool ok = SSL_CTX_set_min_proto_version(ctx, p.min_version) == 1;
    ok = ok && SSL_CTX_set_ciphersuites(ctx, p.tls13_ciphers.c_str()) == 1;
    ok = ok && SSL_CTX_set_cipher_list(ctx, p.tls12_ciphers.c_str()) == 1;
    ok = ok && SSL_CTX_set1_groups_list(ctx, p.groups.c_str()) == 1;
    ok = ok && SSL_CTX_set1_sigalgs_list(ctx, p.sigalgs.c_str()) == 1;
    if (!ok) return false;

    // Browsers send neither encrypt-then-MAC nor post-handshake auth.
    SSL_CTX_set_options(ctx, SSL_OP_NO_ENCRYPT_THEN_MAC);
    SSL_CTX_set_post_handshake_auth(ctx, 0);
    if (p.session_ticket) SSL_CTX_clear_options(ctx, SSL_OP_NO_TICKET);
    else SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    // curl sets SSL_OP_ALL, which holds the padding option: cleared unless wanted.
    if (p.padding) SSL_CTX_set_options(ctx, SSL_OP_TLSEXT_PADDING);
    else SSL_CTX_clear_options(ctx, SSL_OP_TLSEXT_PADDING);
    if (p.status_request && SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp) != 1) return false;
    // Requests SCTs; permissive validation never fails a handshake for them.
    if (p.signed_cert_timestamps && SSL_CTX_enable_ct(ctx, SSL_CT_VALIDATION_PERMISSIVE) != 1) return false;

    // OpenSSL sends its custom extensions before its own ones.
    if (p.grease && SSL_CTX_add_custom_ext(ctx, random_grease(), SSL_EXT_CLIENT_HELLO, add_empty, free_nothing,
                                           nullptr, nullptr, nullptr) != 1)
        return false;
    if (p.ech_grease &&
        SSL_CTX_add_custom_ext(ctx, kEncryptedClientHello,
                               SSL_EXT_CLIENT_HELLO | SSL_EXT_TLS1_3_ENCRYPTED_EXTENSIONS, add_ech_grease,
                               free_payload, reinterpret_cast<void*>(static_cast<uintptr_t>(p.ech_payload)),
                               accept_answer, nullptr) != 1)
        return false;
    if (p.trust_anchor_ids && SSL_CTX_add_custom_ext(ctx, kTrustAnchorIds, SSL_EXT_CLIENT_HELLO, add_trust_anchors,
                                                     free_nothing, nullptr, nullptr, nullptr) != 1)
        return false;
    if (p.record_size_limit != 0 &&
        SSL_CTX_add_custom_ext(ctx, kRecordSizeLimit,
                               SSL_EXT_CLIENT_HELLO | SSL_EXT_TLS1_2_SERVER_HELLO |
                                   SSL_EXT_TLS1_3_ENCRYPTED_EXTENSIONS,
                               add_record_size_limit, free_payload,
                               reinterpret_cast<void*>(static_cast<uintptr_t>(p.record_size_limit)),
                               accept_answer, nullptr) != 1)
        return false;
    return true;
}

}  // namespace halyard
#endif  // OPENSSL_IS_BORINGSSL
