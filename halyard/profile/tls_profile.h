// The TLS side of an impersonation profile: what goes into the ClientHello
// and how an OpenSSL context is set up to send it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace halyard {

struct TlsProfile {
    uint16_t min_version = 0x0303; // lowest version offered (TLS 1.2); supported_versions lists down to it
    std::string tls13_ciphers;     // OpenSSL TLS 1.3 suite names, in the browser's order
                                   // (on BoringSSL only with tls13_order)
    std::string tls12_ciphers;     // OpenSSL cipher names (TLS 1.2 and below), in order
    std::string groups;            // supported groups, in order; the first gets the key share
    std::string sigalgs;           // signature algorithms, in order
    bool session_ticket = true;    // extension 35
    bool status_request = false;   // extension 5 (OCSP, empty lists)
    bool signed_cert_timestamps = false;  // extension 18
    bool padding = false;          // extension 21 for hellos of 256-511 bytes
    bool grease = false;           // one empty GREASE extension (random value per connection)
    bool ech_grease = false;       // extension 65037 with a random, well-formed outer ECH payload
    uint16_t ech_payload = 0;      // its payload length; 0: 144, 176, 208 or 240 drawn per hello
    bool trust_anchor_ids = false; // extension 0xca34 with Chrome's list of trust anchor ids
    uint16_t record_size_limit = 0;  // extension 28 with this value; 0: not sent
                                     // (BoringSSL: also the limit on records received; the server's is honoured)

    // What only the Core's own TLS library (BoringSSL) can send; ignored on
    // OpenSSL.
    uint16_t pq_group = 0;         // post-quantum hybrid group put first, with a key share (0x6399 or 0x11ec)
    bool p256_key_share = false;   // a third key share, P-256 (Firefox)
    bool permute_extensions = false;  // extension order shuffled per connection (Chrome 110+)
    std::string cert_compression;  // compress_certificate (27) algorithms in order: 1 zlib, 2 brotli, 3 zstd
    uint16_t alps = 0;             // ALPS extension for h2: 17513 (old codepoint), 17613 (new); 0: none
    std::string alps_settings;     // its payload: the browser's HTTP/2 SETTINGS (6 bytes per entry)
    bool mldsa_sigalgs = false;    // ML-DSA 0x0904-0x0906 ahead of the signature algorithms (Chrome 150+)
    bool grease_sigalgs = false;   // a GREASE value first in the signature algorithms (Chrome 156)
    bool sha1_sigalgs = false;     // ECDSA+SHA1 and RSA+SHA1 last in the signature algorithms (Firefox)
    bool tls13_order = false;      // the TLS 1.3 suites in tls13_ciphers' order (NSS's), not BoringSSL's
    std::string dc_sigalgs;        // delegated_credentials (34) with these signature algorithms; empty: not sent
    std::vector<uint16_t> extension_order;  // a fixed extension order: these types first; empty: BoringSSL's
};

// Applies `profile` to a context curl is about to use for one connection
// (from CURLOPT_SSL_CTX_FUNCTION, so after curl's own settings).  False
// when the TLS library refused a setting; the context is then unusable.
// On BoringSSL, `profile` must outlive the context: the per-connection
// settings are applied from its info callback.
bool apply_tls_profile(SSL_CTX* ctx, const TlsProfile& profile);

}  // namespace halyard
