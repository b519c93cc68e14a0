// Writes to stdout the ClientHello record Debian's BoringSSL
// (android-libboringssl-dev) sends when set up as Chrome sets it up, for
// comparing its JA4 with the Core's (profile_table.py --boringssl).  No
// network: the hello is taken from a memory BIO.
//
//   cc -I/usr/include/android boringssl_hello.c -L/usr/lib/x86_64-linux-gnu/android
//      -Wl,-rpath,/usr/lib/x86_64-linux-gnu/android -lssl -lcrypto -o boringssl_hello
#include <openssl/ssl.h>
#include <stdio.h>

static int no_decompress(SSL *ssl, CRYPTO_BUFFER **out, size_t len, const uint8_t *in, size_t in_len) {
    (void)ssl, (void)out, (void)len, (void)in, (void)in_len;
    return 0;
}

int main(void) {
    // Chrome's kVerifyPrefs, in order.
    static const uint16_t kSigalgs[] = {0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601};
    static const uint8_t kAlpn[] = {2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_CTX *ctx = SSL_CTX_new(TLS_method());
    if (!ctx) return 1;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    if (!SSL_CTX_set_strict_cipher_list(ctx, "ALL:!aPSK:!ECDSA+SHA1:!3DES")) return 2;
    if (!SSL_CTX_set_verify_algorithm_prefs(ctx, kSigalgs, sizeof kSigalgs / sizeof kSigalgs[0])) return 3;
    if (!SSL_CTX_set1_curves_list(ctx, "X25519:P-256:P-384")) return 4;
    SSL_CTX_set_grease_enabled(ctx, 1);
    SSL_CTX_set_permute_extensions(ctx, 1);
    SSL_CTX_enable_ocsp_stapling(ctx);
    SSL_CTX_enable_signed_cert_timestamps(ctx);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
    if (!SSL_CTX_add_cert_compression_alg(ctx, TLSEXT_cert_compression_brotli, NULL, no_decompress)) return 5;
    SSL *ssl = SSL_new(ctx);
    if (!ssl) return 6;
    SSL_set_tlsext_host_name(ssl, "localhost");
    if (SSL_set_alpn_protos(ssl, kAlpn, sizeof kAlpn) != 0) return 7;
    if (!SSL_add_application_settings(ssl, (const uint8_t *)"h2", 2, NULL, 0)) return 8;
    SSL_set_enable_ech_grease(ssl, 1);
    BIO *in = BIO_new(BIO_s_mem()), *out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);  // wants to read the server's answer: the hello is written
    const uint8_t *data = NULL;
    size_t len = 0;
    if (!BIO_mem_contents(out, &data, &len) || len == 0) return 9;
    fwrite(data, 1, len, stdout);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return 0;
}
