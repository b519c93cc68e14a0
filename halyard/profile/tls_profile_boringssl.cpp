// The profile's ClientHello on the Core's own BoringSSL: set up as the
// browser sets up its TLS library (Chrome's is BoringSSL itself).  The
// context-wide settings go on the SSL_CTX curl hands over; those BoringSSL
// takes per connection only (ALPS, ECH GREASE, key shares) are applied from
// the context's info callback when a handshake starts, before the
// ClientHello is written.
#include "profile/tls_profile.h"

#include <openssl/ssl.h>

#ifdef OPENSSL_IS_BORINGSSL
#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <array>
#include <string_view>
#include <vector>

#include "profile/trust_anchors.h"

namespace halyard {
namespace {

constexpr uint16_t kCompressZlib = 1, kCompressBrotli = 2, kCompressZstd = 3;
constexpr uint16_t kAlpsOldCodepoint = 17513;

// The signature algorithm names the profile table uses, as TLS ids.
struct SigalgName {
    std::string_view name;
    uint16_t id;
};
constexpr std::array kSigalgNames{
    SigalgName{"ECDSA+SHA256", SSL_SIGN_ECDSA_SECP256R1_SHA256},
    SigalgName{"ECDSA+SHA384", SSL_SIGN_ECDSA_SECP384R1_SHA384},
    SigalgName{"ECDSA+SHA512", SSL_SIGN_ECDSA_SECP521R1_SHA512},
    SigalgName{"rsa_pss_rsae_sha256", SSL_SIGN_RSA_PSS_RSAE_SHA256},
    SigalgName{"rsa_pss_rsae_sha384", SSL_SIGN_RSA_PSS_RSAE_SHA384},
    SigalgName{"rsa_pss_rsae_sha512", SSL_SIGN_RSA_PSS_RSAE_SHA512},
    SigalgName{"RSA+SHA256", SSL_SIGN_RSA_PKCS1_SHA256},
    SigalgName{"RSA+SHA384", SSL_SIGN_RSA_PKCS1_SHA384},
    SigalgName{"RSA+SHA512", SSL_SIGN_RSA_PKCS1_SHA512},
    SigalgName{"ECDSA+SHA1", SSL_SIGN_ECDSA_SHA1},
};

struct GroupName {
    std::string_view name;
    uint16_t id;
};
constexpr std::array kGroupNames{
    GroupName{"X25519", SSL_GROUP_X25519},
    GroupName{"P-256", SSL_GROUP_SECP256R1},
    GroupName{"P-384", SSL_GROUP_SECP384R1},
    GroupName{"P-521", SSL_GROUP_SECP521R1},
    // RFC 7919's, for TLS 1.3 only (a patch of ours; see README.md).
    GroupName{"ffdhe2048", SSL_GROUP_FFDHE2048},
    GroupName{"ffdhe3072", SSL_GROUP_FFDHE3072},
};

struct SuiteName {
    std::string_view name;
    uint16_t id;
};
constexpr std::array kTls13SuiteNames{
    SuiteName{"TLS_AES_128_GCM_SHA256", SSL_CIPHER_AES_128_GCM_SHA256},
    SuiteName{"TLS_AES_256_GCM_SHA384", SSL_CIPHER_AES_256_GCM_SHA384},
    SuiteName{"TLS_CHACHA20_POLY1305_SHA256", SSL_CIPHER_CHACHA20_POLY1305_SHA256},
};

// The ids of a colon-separated list; names not in the table are left out.
template <typename Table>
std::vector<uint16_t> ids_of(std::string_view list, const Table& table) {
    std::vector<uint16_t> out;
    while (!list.empty()) {
        const size_t colon = list.find(':');
        const std::string_view name = list.substr(0, colon);
        for (const auto& entry : table)
            if (entry.name == name) out.push_back(entry.id);
        list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
    }
    return out;
}

// Certificate decompressors: each fills a buffer of exactly the length the
// server announced, or fails the handshake.
int decompress_brotli(SSL*, CRYPTO_BUFFER** out, size_t length, const uint8_t* in, size_t in_len) {
    uint8_t* data = nullptr;
    bssl::UniquePtr<CRYPTO_BUFFER> buf(CRYPTO_BUFFER_alloc(&data, length));
    if (buf == nullptr) return 0;
    size_t got = length;
    if (BrotliDecoderDecompress(in_len, in, &got, data) != BROTLI_DECODER_RESULT_SUCCESS || got != length)
        return 0;
    *out = buf.release();
    return 1;
}

int decompress_zlib(SSL*, CRYPTO_BUFFER** out, size_t length, const uint8_t* in, size_t in_len) {
    uint8_t* data = nullptr;
    bssl::UniquePtr<CRYPTO_BUFFER> buf(CRYPTO_BUFFER_alloc(&data, length));
    if (buf == nullptr) return 0;
    uLongf got = length;
    if (uncompress(data, &got, in, in_len) != Z_OK || got != length) return 0;
    *out = buf.release();
    return 1;
}

int decompress_zstd(SSL*, CRYPTO_BUFFER** out, size_t length, const uint8_t* in, size_t in_len) {
    uint8_t* data = nullptr;
    bssl::UniquePtr<CRYPTO_BUFFER> buf(CRYPTO_BUFFER_alloc(&data, length));
    if (buf == nullptr) return 0;
    const size_t got = ZSTD_decompress(data, length, in, in_len);
    if (ZSTD_isError(got) || got != length) return 0;
    *out = buf.release();
    return 1;
}

// The profile of a context, and the mark of a connection already set up
// (the info callback also fires for a renegotiation, which curl allows).
int profile_index() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}
int configured_index() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The per-connection part of the hello.  A failure here cannot stop the
// handshake from an info callback; the setters only fail on allocation.
void configure_connection(SSL* ssl, const TlsProfile& p) {
    if (p.ech_grease) SSL_set_enable_ech_grease(ssl, 1);
    if (p.alps != 0) {
        static constexpr uint8_t kH2[] = {'h', '2'};
        SSL_add_application_settings(ssl, kH2, sizeof kH2, reinterpret_cast<const uint8_t*>(p.alps_settings.data()),
                                     p.alps_settings.size());
        SSL_set_alps_use_new_codepoint(ssl, p.alps != kAlpsOldCodepoint);
    }
    // Browsers send the post-quantum share and X25519's (Firefox also
    // P-256's); without a post-quantum group, X25519's alone.
    std::vector<uint16_t> shares;
    if (p.pq_group != 0) shares.push_back(p.pq_group);
    shares.push_back(SSL_GROUP_X25519);
    if (p.p256_key_share) shares.push_back(SSL_GROUP_SECP256R1);
    SSL_set1_client_key_shares(ssl, shares.data(), shares.size());
}

void on_info(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
    auto* s = const_cast<SSL*>(ssl);
    if (SSL_get_ex_data(s, configured_index()) != nullptr) return;
    const auto* p = static_cast<const TlsProfile*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(s), profile_index()));
    if (p == nullptr) return;
    SSL_set_ex_data(s, configured_index(), const_cast<TlsProfile*>(p));
    configure_connection(s, *p);
}

}  // namespace

bool apply_tls_profile(SSL_CTX* ctx, const TlsProfile& p) {
    bool ok = SSL_CTX_set_min_proto_version(ctx, p.min_version) == 1;
    ok = ok && SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1;
    // TLS 1.3 suites: BoringSSL's order, which is Chrome's (with ChaCha20
    // first on a CPU without AES instructions, as Chrome), or the profile's
    // (NSS's, fixed).
    ok = ok && SSL_CTX_set_cipher_list(ctx, p.tls12_ciphers.c_str()) == 1;
    if (p.tls13_order) {
        const std::vector<uint16_t> suites = ids_of(p.tls13_ciphers, kTls13SuiteNames);
        ok = ok && SSL_CTX_set1_tls13_client_cipher_order(ctx, suites.data(), suites.size()) == 1;
    }

    std::vector<uint16_t> groups = ids_of(p.groups, kGroupNames);
    if (p.pq_group != 0) groups.insert(groups.begin(), p.pq_group);
    ok = ok && SSL_CTX_set1_group_ids(ctx, groups.data(), groups.size()) == 1;

    std::vector<uint16_t> sigalgs = ids_of(p.sigalgs, kSigalgNames);
    if (p.mldsa_sigalgs)
        sigalgs.insert(sigalgs.begin(), {SSL_SIGN_ML_DSA_44, SSL_SIGN_ML_DSA_65, SSL_SIGN_ML_DSA_87});
    if (p.sha1_sigalgs) sigalgs.insert(sigalgs.end(), {SSL_SIGN_ECDSA_SHA1, SSL_SIGN_RSA_PKCS1_SHA1});
    ok = ok && SSL_CTX_set_verify_algorithm_prefs(ctx, sigalgs.data(), sigalgs.size()) == 1;
    if (!ok) return false;

    SSL_CTX_set_grease_enabled(ctx, p.grease);
    SSL_CTX_set_grease_sigalgs_enabled(ctx, p.grease && p.grease_sigalgs);
    SSL_CTX_set_permute_extensions(ctx, p.permute_extensions);
    // ECH GREASE's payload: NSS's fixed size, or Chrome's drawn per connection.
    SSL_CTX_set_ech_grease_payload_length(ctx, p.ech_payload);
    if (SSL_CTX_set1_extension_order(ctx, p.extension_order.data(), p.extension_order.size()) != 1) return false;
    if (p.session_ticket) SSL_CTX_clear_options(ctx, SSL_OP_NO_TICKET);
    else SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    if (p.status_request) SSL_CTX_enable_ocsp_stapling(ctx);
    if (p.signed_cert_timestamps) SSL_CTX_enable_signed_cert_timestamps(ctx);
    for (const char alg : p.cert_compression) {
        const auto id = static_cast<uint16_t>(alg);
        ssl_cert_decompression_func_t fn = id == kCompressBrotli ? decompress_brotli
                                           : id == kCompressZlib ? decompress_zlib
                                           : id == kCompressZstd ? decompress_zstd
                                                                 : nullptr;
        if (fn == nullptr || SSL_CTX_add_cert_compression_alg(ctx, id, nullptr, fn) != 1) return false;
    }
    if (p.trust_anchor_ids &&
        SSL_CTX_set1_requested_trust_anchors(ctx, reinterpret_cast<const uint8_t*>(kChromeTrustAnchors) + 2,
                                             sizeof kChromeTrustAnchors - 3) != 1)
        return false;
    // Firefox's record_size_limit and delegated credentials (patches of
    // ours): the server's limit caps the records sent, and a delegated
    // credential the server presents is verified or the handshake fails.
    if (SSL_CTX_set_record_size_limit(ctx, p.record_size_limit) != 1) return false;
    if (!p.dc_sigalgs.empty()) {
        const std::vector<uint16_t> dc = ids_of(p.dc_sigalgs, kSigalgNames);
        if (SSL_CTX_set1_delegated_credential_sigalgs(ctx, dc.data(), dc.size()) != 1) return false;
    }

    if (SSL_CTX_set_ex_data(ctx, profile_index(), const_cast<TlsProfile*>(&p)) != 1) return false;
    SSL_CTX_set_info_callback(ctx, on_info);
    return true;
}

}  // namespace halyard
#endif  // OPENSSL_IS_BORINGSSL
