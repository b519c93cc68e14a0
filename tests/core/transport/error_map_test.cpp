// The error table: curl results and the Core's own causes map to the
// documented result codes and network error numbers, and the reference
// table in halyard/README.md says the same as the code.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>

#include "transport/curl_facts.h"
#include "transport/error_map.h"

namespace halyard {
namespace {

struct CurlCase {
    const char* name;
    CurlFacts facts;
    Outcome expected;
};

CurlFacts code(CURLcode c) { return CurlFacts{.code = c}; }
CurlFacts with_errno(CURLcode c, long e) { return CurlFacts{.code = c, .os_errno = e}; }
CurlFacts with_verify(CURLcode c, long v) { return CurlFacts{.code = c, .ssl_verify = v}; }
CurlFacts tls_error(unsigned long e) { return CurlFacts{.code = CURLE_SSL_CONNECT_ERROR, .tls_error = e}; }
// The packed code of `reason` of `lib` as the linked TLS library packs it.
unsigned long packed(int lib, int reason) {
#ifdef OPENSSL_IS_BORINGSSL
    return ERR_PACK(lib, reason);
#else
    return ERR_PACK(lib, 0, reason);
#endif
}
CurlFacts ssl_error(int reason) { return tls_error(packed(ERR_LIB_SSL, reason)); }

struct MessageCase {
    const char* message;
    unsigned long code;
};

class OpenSslErrorInMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(OpenSslErrorInMessage, ReadsOnlyThePackedCode) {
    EXPECT_EQ(openssl_error_in(GetParam().message), GetParam().code) << GetParam().message;
}

INSTANTIATE_TEST_SUITE_P(
    CurlMessages, OpenSslErrorInMessage,
    ::testing::Values(MessageCase{"OpenSSL/3.0.19: error:0A000102:SSL routines::unsupported protocol", 0x0A000102},
                      MessageCase{"error:0a00042e:SSL routines::tlsv1 alert protocol version", 0x0A00042E},
                      MessageCase{"error: 0A000102:x", 0}, MessageCase{"error:0A00010:x", 0},
                      MessageCase{"error:0A0001XY:x error:0A000410:y", 0x0A000410},
                      MessageCase{"error:0A000102", 0}, MessageCase{"", 0},
                      MessageCase{"Connection reset by peer", 0}));

class CurlMapping : public ::testing::TestWithParam<CurlCase> {};

TEST_P(CurlMapping, MapsToResultAndNetError) {
    const CurlCase& c = GetParam();
    const Outcome got = map_curl_failure(c.facts);
    EXPECT_EQ(got.result, c.expected.result);
    EXPECT_EQ(got.net_error, c.expected.net_error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CurlMapping,
    ::testing::Values(
        CurlCase{"refused", with_errno(CURLE_COULDNT_CONNECT, ECONNREFUSED), {HY_NETWORK, -102}},
        CurlCase{"unreachable", with_errno(CURLE_COULDNT_CONNECT, EHOSTUNREACH), {HY_NETWORK, -109}},
        CurlCase{"connect_timeout", with_errno(CURLE_COULDNT_CONNECT, ETIMEDOUT), {HY_TIMEOUT, -118}},
        CurlCase{"connect_other", with_errno(CURLE_COULDNT_CONNECT, EACCES), {HY_NETWORK, -104}},
        CurlCase{"proxy_refused", CurlFacts{.code = CURLE_COULDNT_CONNECT, .os_errno = ECONNREFUSED, .via_proxy = true}, {HY_PROXY, -130}},
        CurlCase{"tunnel_407", CurlFacts{.code = CURLE_RECV_ERROR, .connect_code = 407, .via_proxy = true}, {HY_PROXY, -127}},
        CurlCase{"tunnel_403_connect", CurlFacts{.code = CURLE_COULDNT_CONNECT, .connect_code = 403, .via_proxy = true}, {HY_PROXY, -111}},
        CurlCase{"tunnel_502", CurlFacts{.code = CURLE_RECV_ERROR, .connect_code = 502, .via_proxy = true}, {HY_PROXY, -111}},
        CurlCase{"tunnel_ok_then_reset", CurlFacts{.code = CURLE_RECV_ERROR, .os_errno = ECONNRESET, .connect_code = 200}, {HY_NETWORK, -101}},
        CurlCase{"resolve", code(CURLE_COULDNT_RESOLVE_HOST), {HY_NETWORK, -105}},
        CurlCase{"resolve_proxy", code(CURLE_COULDNT_RESOLVE_PROXY), {HY_PROXY, -130}},
        CurlCase{"doh_no_answer", CurlFacts{.code = CURLE_OUT_OF_MEMORY, .doh = true}, {HY_NETWORK, -105}},
        CurlCase{"doh_then_long_head_line", CurlFacts{.code = CURLE_OUT_OF_MEMORY, .connected = true, .doh = true},
                 {HY_PROTOCOL, -325}},
        CurlCase{"reset_recv", with_errno(CURLE_RECV_ERROR, ECONNRESET), {HY_NETWORK, -101}},
        CurlCase{"closed_recv", code(CURLE_RECV_ERROR), {HY_NETWORK, -100}},
        CurlCase{"reset_send", with_errno(CURLE_SEND_ERROR, ECONNRESET), {HY_NETWORK, -101}},
        CurlCase{"closed_send", with_errno(CURLE_SEND_ERROR, EPIPE), {HY_NETWORK, -100}},
        CurlCase{"bad_chunk", CurlFacts{.code = CURLE_RECV_ERROR, .chunked = true, .head_complete = true}, {HY_PROTOCOL, -321}},
        CurlCase{"reset_in_chunked_body", CurlFacts{.code = CURLE_RECV_ERROR, .os_errno = ECONNRESET, .chunked = true, .head_complete = true},
                 {HY_NETWORK, -101}},
        CurlCase{"short_body", code(CURLE_PARTIAL_FILE), {HY_NETWORK, -354}},
        CurlCase{"short_chunked", CurlFacts{.code = CURLE_PARTIAL_FILE, .chunked = true}, {HY_NETWORK, -355}},
        CurlCase{"empty", code(CURLE_GOT_NOTHING), {HY_NETWORK, -324}},
        CurlCase{"http09", CurlFacts{.code = CURLE_UNSUPPORTED_PROTOCOL, .connected = true}, {HY_PROTOCOL, -370}},
        CurlCase{"scheme", code(CURLE_UNSUPPORTED_PROTOCOL), {HY_INVALID_ARGUMENT, -301}},
        CurlCase{"weird", code(CURLE_WEIRD_SERVER_REPLY), {HY_PROTOCOL, -370}},
        CurlCase{"bad_url", code(CURLE_URL_MALFORMAT), {HY_INVALID_ARGUMENT, -300}},
        CurlCase{"decoding", code(CURLE_BAD_CONTENT_ENCODING), {HY_PROTOCOL, -330}},
        CurlCase{"h2", code(CURLE_HTTP2), {HY_PROTOCOL, -337}},
        CurlCase{"h2_stream", code(CURLE_HTTP2_STREAM), {HY_PROTOCOL, -337}},
        CurlCase{"timeout_connected", CurlFacts{.code = CURLE_OPERATION_TIMEDOUT, .connected = true}, {HY_TIMEOUT, -7}},
        CurlCase{"timeout_connecting", code(CURLE_OPERATION_TIMEDOUT), {HY_TIMEOUT, -118}},
        CurlCase{"tls_handshake", code(CURLE_SSL_CONNECT_ERROR), {HY_TLS, -107}},
        CurlCase{"tls_old_server", ssl_error(SSL_R_UNSUPPORTED_PROTOCOL), {HY_TLS, -113}},
        CurlCase{"tls_version_alert", ssl_error(SSL_R_TLSV1_ALERT_PROTOCOL_VERSION), {HY_TLS, -113}},
        CurlCase{"tls_handshake_alert", ssl_error(SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE), {HY_TLS, -113}},
        CurlCase{"tls_no_shared_cipher", ssl_error(SSL_R_NO_SHARED_CIPHER), {HY_TLS, -113}},
        CurlCase{"tls_not_tls", ssl_error(SSL_R_WRONG_VERSION_NUMBER), {HY_TLS, -107}},
        CurlCase{"tls_other_library", tls_error(packed(ERR_LIB_DH, SSL_R_UNSUPPORTED_PROTOCOL)), {HY_TLS, -107}},
        CurlCase{"tls_cipher", code(CURLE_SSL_CIPHER), {HY_TLS, -113}},
        CurlCase{"cert_authority", with_verify(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), {HY_TLS, -202}},
        CurlCase{"cert_self_signed", with_verify(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT), {HY_TLS, -202}},
        CurlCase{"cert_expired", with_verify(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_HAS_EXPIRED), {HY_TLS, -201}},
        CurlCase{"cert_future", with_verify(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_NOT_YET_VALID), {HY_TLS, -201}},
        CurlCase{"cert_host_openssl", with_verify(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_HOSTNAME_MISMATCH), {HY_TLS, -200}},
        // curl's own name check runs before it reads the chain's result.
        CurlCase{"cert_host_curl", with_verify(CURLE_PEER_FAILED_VERIFICATION, 1), {HY_TLS, -200}},
        CurlCase{"cert_other", with_verify(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_REVOKED), {HY_TLS, -207}},
        CurlCase{"proxy_cert", CurlFacts{.code = CURLE_PEER_FAILED_VERIFICATION, .proxy_ssl_verify = 20, .via_proxy = true}, {HY_PROXY, -136}},
        CurlCase{"socks_unreachable", CurlFacts{.code = CURLE_PROXY, .proxy_error = CURLPX_REPLY_HOST_UNREACHABLE, .via_proxy = true}, {HY_PROXY, -121}},
        CurlCase{"socks_other", CurlFacts{.code = CURLE_PROXY, .proxy_error = CURLPX_BAD_VERSION, .via_proxy = true}, {HY_PROXY, -120}},
        CurlCase{"oom", CurlFacts{.code = CURLE_OUT_OF_MEMORY, .head_complete = true}, {HY_OUT_OF_MEMORY, -13}},
        CurlCase{"head_line_too_long", code(CURLE_OUT_OF_MEMORY), {HY_PROTOCOL, -325}},
        CurlCase{"paused_decoding_full", CurlFacts{.code = CURLE_OUT_OF_MEMORY, .head_complete = true, .decoding = true},
                 {HY_PROTOCOL, -330}},
        CurlCase{"unknown_code", code(CURLE_TFTP_NOTFOUND), {HY_NETWORK, -2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CauseMapping, EveryCauseHasItsRow) {
    const std::pair<Cause, Outcome> expected[] = {
        {Cause::Canceled, {HY_CANCELED, -3}},          {Cause::TimedOut, {HY_TIMEOUT, -7}},
        {Cause::ConnectTimedOut, {HY_TIMEOUT, -118}},
        {Cause::RedirectRefused, {HY_REDIRECT, -2}},   {Cause::RedirectLimit, {HY_REDIRECT, -310}},
        {Cause::RedirectUnsafe, {HY_REDIRECT, -311}},  {Cause::RedirectInvalid, {HY_REDIRECT, -303}},
        {Cause::RedirectNoRewind, {HY_REDIRECT, -25}}, {Cause::ProxyAuth, {HY_PROXY, -127}},
        {Cause::EmptyResponse, {HY_NETWORK, -324}},    {Cause::CacheMiss, {HY_CACHE_MISS, -400}},
        {Cause::OutOfMemory, {HY_OUT_OF_MEMORY, -13}}, {Cause::Internal, {HY_NETWORK, -2}},
        {Cause::HeadTooBig, {HY_PROTOCOL, -325}},      {Cause::TooManyHeaderLines, {HY_PROTOCOL, -325}},
        {Cause::ContentLengthConflict, {HY_PROTOCOL, -346}}, {Cause::DecodedTooLarge, {HY_PROTOCOL, -330}},
    };
    for (const auto& [cause, outcome] : expected) {
        EXPECT_EQ(map_cause(cause), outcome) << static_cast<int>(cause);
    }
}

// The README's error table lists every row, with the same numbers, in the
// same order, so that users read what the code does.
TEST(ErrorTable, ReadmeTableMatchesTheCode) {
    std::ifstream in(std::string(HALYARD_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(in) << "halyard/README.md missing";
    std::vector<std::pair<uint32_t, int32_t>> documented;
    std::string line;
    bool in_table = false;
    while (std::getline(in, line)) {
        if (line.find("<!-- error-table -->") != std::string::npos) {
            in_table = !in_table;
            continue;
        }
        if (!in_table || line.rfind("| ", 0) != 0 || line.find("---") != std::string::npos) continue;
        // | source | condition | result | net error | meaning |
        std::vector<std::string> cells;
        std::stringstream ss(line.substr(1));
        std::string cell;
        while (std::getline(ss, cell, '|')) cells.push_back(cell);
        if (cells.size() < 5 || cells[2].find("result") != std::string::npos) continue;
        documented.emplace_back(static_cast<uint32_t>(std::stoul(cells[2].substr(cells[2].find_first_of("0123456789")))),
                                static_cast<int32_t>(std::stol(cells[3])));
    }
    const auto table = error_table();
    ASSERT_EQ(documented.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(documented[i].first, table[i].result) << "row " << i << ": " << table[i].meaning;
        EXPECT_EQ(documented[i].second, table[i].net_error) << "row " << i << ": " << table[i].meaning;
    }
}

}  // namespace
}  // namespace halyard
