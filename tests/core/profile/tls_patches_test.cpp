// What our patches to BoringSSL do on the wire, between a client and a
// server of that same BoringSSL in memory: record_size_limit caps the
// records each side sends once both sent it, a delegated credential is used
// only when valid and otherwise fails the handshake, and the finite-field
// groups make a working TLS 1.3 key exchange (never a TLS 1.2 one).
#include <openssl/ssl.h>

#ifdef OPENSSL_IS_BORINGSSL
#include <gtest/gtest.h>
#include <openssl/bytestring.h>
#include <openssl/ec_key.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace halyard {
namespace {

using CtxPtr = bssl::UniquePtr<SSL_CTX>;
using SslPtr = bssl::UniquePtr<SSL>;

bssl::UniquePtr<EVP_PKEY> new_p256_key() {
    bssl::UniquePtr<EC_KEY> ec(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
    bssl::UniquePtr<EVP_PKEY> key(EVP_PKEY_new());
    if (!ec || !key || !EC_KEY_generate_key(ec.get()) || !EVP_PKEY_assign_EC_KEY(key.get(), ec.release()))
        return nullptr;
    return key;
}

// A self-signed certificate for `key`, valid from an hour ago for a year,
// for digital signatures, with the DelegationUsage extension if asked.
bssl::UniquePtr<X509> new_certificate(EVP_PKEY* key, bool delegation_usage) {
    bssl::UniquePtr<X509> cert(X509_new());
    if (!cert || !X509_set_version(cert.get(), X509_VERSION_3) ||
        !ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 86400) ||
        !X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                                    reinterpret_cast<const uint8_t*>("localhost"), -1, -1, 0) ||
        !X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) ||
        !X509_set_pubkey(cert.get(), key))
        return nullptr;
    auto add = [&](X509_EXTENSION* ext) {
        const bool ok = ext != nullptr && X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
        return ok;
    };
    // keyUsage: digitalSignature (BIT STRING 0x80).
    static const uint8_t kKeyUsage[] = {0x03, 0x02, 0x07, 0x80};
    bssl::UniquePtr<ASN1_OCTET_STRING> usage(ASN1_OCTET_STRING_new());
    if (!usage || !ASN1_OCTET_STRING_set(usage.get(), kKeyUsage, sizeof kKeyUsage) ||
        !add(X509_EXTENSION_create_by_NID(nullptr, NID_key_usage, 1, usage.get())))
        return nullptr;
    if (delegation_usage) {
        // 1.3.6.1.4.1.44363.44, value NULL (RFC 9345, section 4.2).
        bssl::UniquePtr<ASN1_OBJECT> oid(OBJ_txt2obj("1.3.6.1.4.1.44363.44", 1));
        static const uint8_t kNull[] = {0x05, 0x00};
        bssl::UniquePtr<ASN1_OCTET_STRING> value(ASN1_OCTET_STRING_new());
        if (!oid || !value || !ASN1_OCTET_STRING_set(value.get(), kNull, sizeof kNull) ||
            !add(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, value.get())))
            return nullptr;
    }
    if (!X509_sign(cert.get(), key, EVP_sha256())) return nullptr;
    return cert;
}

// Appends byte by byte (gcc 12 warns falsely about range inserts here).
void append(std::vector<uint8_t>& out, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) out.push_back(data[i]);
}

std::vector<uint8_t> der_of(X509* cert) {
    uint8_t* der = nullptr;
    const int len = i2d_X509(cert, &der);
    std::vector<uint8_t> out;
    append(out, der, len > 0 ? len : 0);
    OPENSSL_free(der);
    return out;
}

// A DelegatedCredential (RFC 9345, section 4) for `dc_key`, signed by the
// certificate's key with ecdsa_secp256r1_sha256.
std::vector<uint8_t> new_delegated_credential(X509* cert, EVP_PKEY* cert_key, EVP_PKEY* dc_key, uint32_t valid_time,
                                              uint16_t cert_verify_algorithm = SSL_SIGN_ECDSA_SECP256R1_SHA256) {
    bssl::ScopedCBB cred;
    CBB spki;
    EXPECT_TRUE(CBB_init(cred.get(), 256) && CBB_add_u32(cred.get(), valid_time) &&
                CBB_add_u16(cred.get(), cert_verify_algorithm) && CBB_add_u24_length_prefixed(cred.get(), &spki) &&
                EVP_marshal_public_key(&spki, dc_key) && CBB_flush(cred.get()));
    std::vector<uint8_t> cred_bytes;
    append(cred_bytes, CBB_data(cred.get()), CBB_len(cred.get()));

    std::vector<uint8_t> input(64, 0x20);
    static const char kContext[] = "TLS, server delegated credentials";
    append(input, reinterpret_cast<const uint8_t*>(kContext), sizeof kContext);  // with its zero byte
    const std::vector<uint8_t> der = der_of(cert);
    append(input, der.data(), der.size());
    append(input, cred_bytes.data(), cred_bytes.size());
    input.push_back(SSL_SIGN_ECDSA_SECP256R1_SHA256 >> 8);
    input.push_back(SSL_SIGN_ECDSA_SECP256R1_SHA256 & 0xff);

    bssl::ScopedEVP_MD_CTX md;
    size_t sig_len = 0;
    EXPECT_TRUE(EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, cert_key) &&
                EVP_DigestSign(md.get(), nullptr, &sig_len, input.data(), input.size()));
    std::vector<uint8_t> sig(sig_len);
    EXPECT_TRUE(EVP_DigestSign(md.get(), sig.data(), &sig_len, input.data(), input.size()));
    sig.resize(sig_len);

    std::vector<uint8_t> out = cred_bytes;
    out.push_back(SSL_SIGN_ECDSA_SECP256R1_SHA256 >> 8);
    out.push_back(SSL_SIGN_ECDSA_SECP256R1_SHA256 & 0xff);
    out.push_back(static_cast<uint8_t>(sig.size() >> 8));
    out.push_back(static_cast<uint8_t>(sig.size() & 0xff));
    append(out, sig.data(), sig.size());
    return out;
}

// A client and a server joined by memory BIOs; what the client sends is
// kept for reading its records.
struct Connection {
    SslPtr client, server;
    std::vector<uint8_t> client_bytes;
    int client_error = 0;  // the client's SSL reason code, if its handshake failed

    Connection(SSL_CTX* client_ctx, SSL_CTX* server_ctx)
        : client(SSL_new(client_ctx)), server(SSL_new(server_ctx)) {
        SSL_set_bio(client.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_bio(server.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(client.get());
        SSL_set_accept_state(server.get());
        SSL_set_tlsext_host_name(client.get(), "localhost");
    }

    static void move(SSL* from, SSL* to, std::vector<uint8_t>* keep) {
        uint8_t buf[4096];
        int n;
        while ((n = BIO_read(SSL_get_wbio(from), buf, sizeof buf)) > 0) {
            BIO_write(SSL_get_rbio(to), buf, n);
            if (keep != nullptr) append(*keep, buf, n);
        }
    }

    void pump() {
        move(client.get(), server.get(), &client_bytes);
        move(server.get(), client.get(), nullptr);
    }

    bool handshake() {
        ERR_clear_error();
        for (int round = 0; round < 20; ++round) {
            const int c = SSL_do_handshake(client.get());
            if (c != 1 && SSL_get_error(client.get(), c) != SSL_ERROR_WANT_READ) {
                // The handshake's own reason comes last, after any of the
                // crypto library's that led to it.
                const uint32_t err = ERR_peek_last_error();
                client_error = ERR_GET_LIB(err) == ERR_LIB_SSL ? ERR_GET_REASON(err) : -1;
                return false;
            }
            const int s = SSL_do_handshake(server.get());
            if (s != 1 && SSL_get_error(server.get(), s) != SSL_ERROR_WANT_READ) return false;
            pump();
            if (c == 1 && s == 1) return true;
        }
        return false;
    }
};

// The lengths of the application data records in `bytes` from `offset`
// (TLS 1.3 sends everything after the handshake as that type).
std::vector<size_t> record_lengths(const std::vector<uint8_t>& bytes, size_t offset) {
    std::vector<size_t> out;
    while (offset + 5 <= bytes.size()) {
        const size_t len = (size_t{bytes[offset + 3]} << 8) | bytes[offset + 4];
        if (bytes[offset] == SSL3_RT_APPLICATION_DATA) out.push_back(len);
        offset += 5 + len;
    }
    return out;
}

struct Stack {
    bssl::UniquePtr<EVP_PKEY> key = new_p256_key();
    bssl::UniquePtr<X509> cert = new_certificate(key.get(), true);
    CtxPtr client{SSL_CTX_new(TLS_method())};
    CtxPtr server{SSL_CTX_new(TLS_method())};

    explicit Stack(uint16_t version = TLS1_3_VERSION, bool server_certificate = true) {
        EXPECT_TRUE(key && cert && client && server);
        if (server_certificate) {
            EXPECT_TRUE(SSL_CTX_use_certificate(server.get(), cert.get()) &&
                        SSL_CTX_use_PrivateKey(server.get(), key.get()));
        }
        for (SSL_CTX* ctx : {client.get(), server.get()}) {
            EXPECT_TRUE(SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION));
            EXPECT_TRUE(SSL_CTX_set_max_proto_version(ctx, version));
        }
    }
};

// ------------------------------------------------------- record_size_limit

struct LimitCase {
    const char* name;
    uint16_t version;
    uint16_t server_limit;   // 0: the server does not speak record_size_limit
    size_t max_plaintext;    // what one record the client sends may carry
};

class RecordSizeLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(RecordSizeLimit, CapsWhatTheClientSends) {
    const LimitCase& c = GetParam();
    Stack stack(c.version);
    ASSERT_TRUE(SSL_CTX_set_record_size_limit(stack.client.get(), 16385));
    ASSERT_TRUE(SSL_CTX_set_record_size_limit(stack.server.get(), c.server_limit));
    Connection conn(stack.client.get(), stack.server.get());
    ASSERT_TRUE(conn.handshake());
    ASSERT_EQ(SSL_version(conn.client.get()), c.version);

    const std::string data(40000, 'x');
    const size_t from = conn.client_bytes.size();
    ASSERT_EQ(SSL_write(conn.client.get(), data.data(), data.size()), static_cast<int>(data.size()));
    conn.pump();
    std::string got(data.size(), '\0');
    size_t read = 0;
    while (read < got.size()) {
        const int n = SSL_read(conn.server.get(), got.data() + read, got.size() - read);
        ASSERT_GT(n, 0);
        read += n;
    }
    EXPECT_EQ(got, data);

    // Each record: the plaintext (TLS 1.3: and its content type byte) and
    // the AEAD's 16-byte tag (TLS 1.2 GCM: and an 8-byte nonce).
    const size_t overhead = c.version == TLS1_3_VERSION ? 1 + 16 : 8 + 16;
    const std::vector<size_t> records = record_lengths(conn.client_bytes, from);
    ASSERT_FALSE(records.empty());
    size_t largest = 0;
    for (size_t len : records) largest = std::max(largest, len);
    EXPECT_LE(largest, c.max_plaintext + overhead);
    // Full records up to the limit, not smaller ones.
    EXPECT_GE(largest + 32, c.max_plaintext + overhead);
    EXPECT_GE(records.size(), data.size() / c.max_plaintext);
}

INSTANTIATE_TEST_SUITE_P(
    Patches, RecordSizeLimit,
    ::testing::Values(LimitCase{"tls13_limit_256", TLS1_3_VERSION, 256, 255},
                      LimitCase{"tls13_limit_64", TLS1_3_VERSION, 64, 63},
                      LimitCase{"tls12_limit_512", TLS1_2_VERSION, 512, 512},
                      LimitCase{"tls13_server_without", TLS1_3_VERSION, 0, 16384},
                      LimitCase{"tls13_server_at_maximum", TLS1_3_VERSION, 16385, 16384}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordSizeLimitSetter, RefusesWhatTheProtocolForbids) {
    CtxPtr ctx(SSL_CTX_new(TLS_method()));
    EXPECT_TRUE(SSL_CTX_set_record_size_limit(ctx.get(), 0));
    EXPECT_TRUE(SSL_CTX_set_record_size_limit(ctx.get(), 64));
    EXPECT_TRUE(SSL_CTX_set_record_size_limit(ctx.get(), 16385));
    EXPECT_FALSE(SSL_CTX_set_record_size_limit(ctx.get(), 63));
    EXPECT_FALSE(SSL_CTX_set_record_size_limit(ctx.get(), 16386));
}

// --------------------------------------------------- delegated credentials

struct CredentialCase {
    const char* name;
    bool delegation_usage;       // the certificate allows delegation
    int64_t expires_in;          // seconds from now
    bool corrupt_signature;
    bool client_offers;
    int client_error;            // 0: the handshake succeeds
};

class DelegatedCredential : public ::testing::TestWithParam<CredentialCase> {};

TEST_P(DelegatedCredential, IsVerifiedOrRefused) {
    const CredentialCase& c = GetParam();
    // Offered, the credential is the server's only one: a handshake that
    // succeeds was signed with the credential's key.  Not offered, the
    // server falls back to the certificate's own key.
    Stack stack(TLS1_3_VERSION, !c.client_offers);
    bssl::UniquePtr<X509> cert = new_certificate(stack.key.get(), c.delegation_usage);
    bssl::UniquePtr<EVP_PKEY> dc_key = new_p256_key();
    ASSERT_TRUE(cert && dc_key);
    // The certificate's notBefore is an hour ago; valid_time counts from it.
    std::vector<uint8_t> dc = new_delegated_credential(cert.get(), stack.key.get(), dc_key.get(),
                                                       static_cast<uint32_t>(3600 + c.expires_in));
    if (c.corrupt_signature) dc.back() ^= 1;

    bssl::UniquePtr<SSL_CREDENTIAL> cred(SSL_CREDENTIAL_new_delegated());
    const std::vector<uint8_t> der = der_of(cert.get());
    bssl::UniquePtr<CRYPTO_BUFFER> cert_buf(CRYPTO_BUFFER_new(der.data(), der.size(), nullptr));
    bssl::UniquePtr<CRYPTO_BUFFER> dc_buf(CRYPTO_BUFFER_new(dc.data(), dc.size(), nullptr));
    CRYPTO_BUFFER* chain[] = {cert_buf.get()};
    ASSERT_TRUE(SSL_CREDENTIAL_set1_delegated_credential(cred.get(), dc_buf.get()));
    ASSERT_TRUE(SSL_CREDENTIAL_set1_private_key(cred.get(), dc_key.get()));
    ASSERT_TRUE(SSL_CREDENTIAL_set1_cert_chain(cred.get(), chain, 1));
    ASSERT_TRUE(SSL_CTX_add1_credential(stack.server.get(), cred.get()));
    static const uint16_t kFirefoxDc[] = {SSL_SIGN_ECDSA_SECP256R1_SHA256, SSL_SIGN_ECDSA_SECP384R1_SHA384,
                                          SSL_SIGN_ECDSA_SECP521R1_SHA512, SSL_SIGN_ECDSA_SHA1};
    if (c.client_offers) {
        ASSERT_TRUE(SSL_CTX_set1_delegated_credential_sigalgs(stack.client.get(), kFirefoxDc, 4));
    }

    Connection conn(stack.client.get(), stack.server.get());
    const bool ok = conn.handshake();
    EXPECT_EQ(ok, c.client_error == 0) << ERR_reason_error_string(ERR_peek_error());
    if (c.client_error != 0) {
        EXPECT_EQ(conn.client_error, c.client_error) << ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, conn.client_error));
        return;
    }
    EXPECT_EQ(SSL_get_peer_signature_algorithm(conn.client.get()), SSL_SIGN_ECDSA_SECP256R1_SHA256);
}

INSTANTIATE_TEST_SUITE_P(
    Patches, DelegatedCredential,
    ::testing::Values(
        CredentialCase{"valid", true, 86400, false, true, 0},
        CredentialCase{"not_offered", true, 86400, false, false, 0},
        CredentialCase{"expired", true, -60, false, true, SSL_R_INVALID_DELEGATED_CREDENTIAL},
        CredentialCase{"beyond_seven_days", true, 8 * 86400, false, true, SSL_R_INVALID_DELEGATED_CREDENTIAL},
        CredentialCase{"certificate_without_delegation_usage", false, 86400, false, true,
                       SSL_R_INVALID_DELEGATED_CREDENTIAL},
        CredentialCase{"bad_signature", true, 86400, true, true, SSL_R_BAD_SIGNATURE}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------ finite-field groups

struct GroupCase {
    const char* name;
    uint16_t version;
    std::vector<uint16_t> client_groups;
    std::vector<uint16_t> key_shares;      // the client's initial shares
    std::vector<uint16_t> server_groups;
    uint16_t negotiated;                   // 0: no shared group, no handshake
};

class FiniteFieldGroups : public ::testing::TestWithParam<GroupCase> {};

TEST_P(FiniteFieldGroups, KeyExchange) {
    const GroupCase& c = GetParam();
    Stack stack(c.version);
    ASSERT_TRUE(SSL_CTX_set1_group_ids(stack.client.get(), c.client_groups.data(), c.client_groups.size()));
    ASSERT_TRUE(SSL_CTX_set1_group_ids(stack.server.get(), c.server_groups.data(), c.server_groups.size()));
    Connection conn(stack.client.get(), stack.server.get());
    ASSERT_TRUE(SSL_set1_client_key_shares(conn.client.get(), c.key_shares.data(), c.key_shares.size()));
    const bool ok = conn.handshake();
    ASSERT_EQ(ok, c.negotiated != 0);
    if (!ok) return;
    EXPECT_EQ(SSL_get_group_id(conn.client.get()), c.negotiated);
    EXPECT_EQ(SSL_get_group_id(conn.server.get()), c.negotiated);
    // Both sides derived the same keys: data goes through.
    ASSERT_EQ(SSL_write(conn.client.get(), "ping", 4), 4);
    conn.pump();
    char buf[4];
    ASSERT_EQ(SSL_read(conn.server.get(), buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
}

constexpr uint16_t kX25519 = SSL_GROUP_X25519, kP256 = SSL_GROUP_SECP256R1;
constexpr uint16_t kFF2048 = SSL_GROUP_FFDHE2048, kFF3072 = SSL_GROUP_FFDHE3072;

INSTANTIATE_TEST_SUITE_P(
    Patches, FiniteFieldGroups,
    ::testing::Values(
        GroupCase{"tls13_ffdhe2048_share", TLS1_3_VERSION, {kFF2048}, {kFF2048}, {kFF2048, kX25519}, kFF2048},
        // Firefox's case: no finite-field share; a server that wants one asks
        // for it with a HelloRetryRequest.
        GroupCase{"tls13_ffdhe3072_after_retry", TLS1_3_VERSION, {kX25519, kP256, kFF2048, kFF3072}, {kX25519},
                  {kFF3072}, kFF3072},
        GroupCase{"tls13_prefers_x25519", TLS1_3_VERSION, {kX25519, kFF2048}, {kX25519}, {kFF2048, kX25519},
                  kX25519},
        // TLS 1.2's ECDHE never takes a finite-field group.
        GroupCase{"tls12_skips_ffdhe", TLS1_2_VERSION, {kFF2048, kP256}, {kFF2048}, {kFF2048, kP256}, kP256},
        GroupCase{"tls12_ffdhe_only", TLS1_2_VERSION, {kFF2048}, {kFF2048}, {kFF2048}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FiniteFieldGroupNames, AreKnown) {
    CtxPtr ctx(SSL_CTX_new(TLS_method()));
    EXPECT_TRUE(SSL_CTX_set1_groups_list(ctx.get(), "X25519:ffdhe2048:ffdhe3072"));
    EXPECT_STREQ(SSL_get_group_name(kFF2048), "ffdhe2048");
    EXPECT_STREQ(SSL_get_group_name(kFF3072), "ffdhe3072");
}

}  // namespace
}  // namespace halyard
#endif  // OPENSSL_IS_BORINGSSL
