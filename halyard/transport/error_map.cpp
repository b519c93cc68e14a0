// The one place where failures become result codes and network error
// numbers.  halyard/README.md carries the same table for users; a test
// compares the two.
#include "transport/error_map.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <iterator>

namespace halyard {
namespace {

constexpr auto kCurlTooLarge = static_cast<CURLcode>(100);

constexpr ErrorRow curl_row(CURLcode code, When when, uint32_t result, int32_t net,
                            const char* meaning) {
    return {true, code, when, Cause::Internal, result, net, meaning};
}

constexpr ErrorRow cause_row(Cause cause, uint32_t result, int32_t net, const char* meaning) {
    return {false, CURLE_OK, When::Always, cause, result, net, meaning};
}

// Matching order matters: for one curl code the first row whose condition
// holds wins, so the specific conditions come before the Always row.
constexpr ErrorRow kTable[] = {
    cause_row(Cause::Canceled, HY_CANCELED, -3, "cancelled, or released while running"),
    cause_row(Cause::TimedOut, HY_TIMEOUT, -7, "the request's timeout expired"),
    cause_row(Cause::ConnectTimedOut, HY_TIMEOUT, -118, "the request's timeout expired while connecting"),
    cause_row(Cause::RedirectRefused, HY_REDIRECT, -2, "redirect met in redirect mode error"),
    cause_row(Cause::RedirectLimit, HY_REDIRECT, -310, "a 21st redirect"),
    cause_row(Cause::RedirectUnsafe, HY_REDIRECT, -311, "redirect to a scheme other than http or https"),
    cause_row(Cause::RedirectInvalid, HY_REDIRECT, -303, "redirect Location cannot be parsed"),
    cause_row(Cause::RedirectNoRewind, HY_REDIRECT, -25, "307/308 redirect of a streamed body"),
    cause_row(Cause::UploadLengthMismatch, HY_INVALID_ARGUMENT, -14,
              "streamed body longer or shorter than its declared length"),
    cause_row(Cause::ProxyAuth, HY_PROXY, -127, "HTTP proxy answered 407"),
    cause_row(Cause::EmptyResponse, HY_NETWORK, -324, "transfer ended without a response head"),
    cause_row(Cause::CacheMiss, HY_CACHE_MISS, -400, "only_if_cached: no cache entry"),
    cause_row(Cause::HeadTooBig, HY_PROTOCOL, -325, "response head over 256 KiB"),
    cause_row(Cause::TooManyHeaderLines, HY_PROTOCOL, -325, "more than 100 header lines in one head"),
    cause_row(Cause::ContentLengthConflict, HY_PROTOCOL, -346, "Content-Length fields that disagree"),
    cause_row(Cause::DecodedTooLarge, HY_PROTOCOL, -330, "body expanded over 1000 times and past 64 MiB"),
    cause_row(Cause::OutOfMemory, HY_OUT_OF_MEMORY, -13, "allocation failed in the Core"),
    cause_row(Cause::Internal, HY_NETWORK, -2, "unexpected fault in the Core"),

    // URLs are checked before curl sees them: an unsupported protocol once
    // connected is an answer that is no HTTP/1.x head (curl's HTTP/0.9).
    curl_row(CURLE_UNSUPPORTED_PROTOCOL, When::Connected, HY_PROTOCOL, -370, "not an HTTP response"),
    curl_row(CURLE_UNSUPPORTED_PROTOCOL, When::Always, HY_INVALID_ARGUMENT, -301, "scheme not supported"),
    curl_row(CURLE_URL_MALFORMAT, When::Always, HY_INVALID_ARGUMENT, -300, "URL cannot be parsed"),
    curl_row(CURLE_NOT_BUILT_IN, When::Always, HY_INVALID_ARGUMENT, -4, "feature not built into libcurl"),
    curl_row(CURLE_BAD_FUNCTION_ARGUMENT, When::Always, HY_INVALID_ARGUMENT, -4, "option refused by libcurl"),
    curl_row(CURLE_UNKNOWN_OPTION, When::Always, HY_INVALID_ARGUMENT, -4, "option unknown to libcurl"),
    curl_row(CURLE_COULDNT_RESOLVE_PROXY, When::Always, HY_PROXY, -130, "proxy name not resolved"),
    curl_row(CURLE_COULDNT_RESOLVE_HOST, When::Always, HY_NETWORK, -105, "host name not resolved"),
    curl_row(CURLE_COULDNT_CONNECT, When::TunnelAuth, HY_PROXY, -127, "proxy CONNECT answered 407"),
    curl_row(CURLE_COULDNT_CONNECT, When::TunnelRefused, HY_PROXY, -111, "proxy refused the CONNECT tunnel"),
    curl_row(CURLE_COULDNT_CONNECT, When::ViaProxy, HY_PROXY, -130, "could not connect to the proxy"),
    curl_row(CURLE_COULDNT_CONNECT, When::Refused, HY_NETWORK, -102, "connection refused"),
    curl_row(CURLE_COULDNT_CONNECT, When::Unreachable, HY_NETWORK, -109, "no route to host"),
    curl_row(CURLE_COULDNT_CONNECT, When::ConnectTimedOut, HY_TIMEOUT, -118, "connect timed out"),
    curl_row(CURLE_COULDNT_CONNECT, When::Always, HY_NETWORK, -104, "connect failed"),
    curl_row(CURLE_WEIRD_SERVER_REPLY, When::Always, HY_PROTOCOL, -370, "not an HTTP response"),
    curl_row(CURLE_HTTP2, When::Always, HY_PROTOCOL, -337, "HTTP/2 framing error"),
    curl_row(CURLE_HTTP2_STREAM, When::Always, HY_PROTOCOL, -337, "HTTP/2 stream error"),
    // QUIC failures before an answer go over TCP instead; these are the
    // ones met after it, or where no fallback is possible.
    curl_row(CURLE_HTTP3, When::Always, HY_PROTOCOL, -356, "HTTP/3 or QUIC protocol error"),
    curl_row(CURLE_QUIC_CONNECT_ERROR, When::Always, HY_NETWORK, -358, "QUIC handshake failed"),
    curl_row(CURLE_PARTIAL_FILE, When::ChunkedBody, HY_NETWORK, -355, "chunked body ended without its last chunk"),
    curl_row(CURLE_PARTIAL_FILE, When::Always, HY_NETWORK, -354, "body shorter than Content-Length"),
    // libcurl 8.6 and later (the Core's own) refuse both of the next
    // cases with CURLE_TOO_LARGE (100) instead of CURLE_OUT_OF_MEMORY; its
    // value is written out as the system's libcurl 7.88 has no name for it.
    curl_row(kCurlTooLarge, When::DecodingBody, HY_PROTOCOL, -330, "decoded body held while paused passed 64 MiB"),
    curl_row(kCurlTooLarge, When::HeadUnfinished, HY_PROTOCOL, -325, "head line too long"),
    // libcurl 7.88 ends a transfer whose DNS-over-HTTPS lookup failed
    // (resolver unreachable, untrusted, or no address) with this code.
    curl_row(CURLE_OUT_OF_MEMORY, When::DohNoAnswer, HY_NETWORK, -105, "DNS over HTTPS gave no address"),
    // While receiving is paused curl keeps what it decodes, up to 64 MiB:
    // a body that fills that is expanding far beyond what was received.
    curl_row(CURLE_OUT_OF_MEMORY, When::DecodingBody, HY_PROTOCOL, -330, "decoded body held while paused passed 64 MiB"),
    // curl refuses a head line over 100 KiB (or a head over its own bound,
    // which the Core's smaller one meets first) with this code.
    curl_row(CURLE_OUT_OF_MEMORY, When::HeadUnfinished, HY_PROTOCOL, -325, "head line too long"),
    curl_row(CURLE_OUT_OF_MEMORY, When::Always, HY_OUT_OF_MEMORY, -13, "libcurl ran out of memory"),
    curl_row(CURLE_OPERATION_TIMEDOUT, When::NotConnected, HY_TIMEOUT, -118, "libcurl timed out while connecting"),
    curl_row(CURLE_OPERATION_TIMEDOUT, When::Always, HY_TIMEOUT, -7, "libcurl timed out"),
    curl_row(CURLE_SSL_CONNECT_ERROR, When::ProxyCertificate, HY_PROXY, -136, "HTTPS proxy certificate invalid"),
    curl_row(CURLE_SSL_CONNECT_ERROR, When::TlsMismatch, HY_TLS, -113, "no common TLS version or cipher (OpenSSL's reason)"),
    curl_row(CURLE_SSL_CONNECT_ERROR, When::Always, HY_TLS, -107, "TLS handshake failed"),
    curl_row(CURLE_SSL_CIPHER, When::Always, HY_TLS, -113, "no common TLS version or cipher"),
    curl_row(CURLE_PEER_FAILED_VERIFICATION, When::ProxyCertificate, HY_PROXY, -136, "HTTPS proxy certificate invalid"),
    curl_row(CURLE_PEER_FAILED_VERIFICATION, When::CertHostName, HY_TLS, -200, "certificate does not match the host name"),
    curl_row(CURLE_PEER_FAILED_VERIFICATION, When::CertDate, HY_TLS, -201, "certificate expired or not yet valid"),
    curl_row(CURLE_PEER_FAILED_VERIFICATION, When::CertAuthority, HY_TLS, -202, "certificate not signed by a trusted root"),
    curl_row(CURLE_PEER_FAILED_VERIFICATION, When::Always, HY_TLS, -207, "other certificate failure"),
    curl_row(CURLE_SSL_CERTPROBLEM, When::Always, HY_TLS, -207, "certificate problem"),
    curl_row(CURLE_SSL_CACERT_BADFILE, When::Always, HY_TLS, -207, "CA bundle unusable"),
    curl_row(CURLE_SSL_ISSUER_ERROR, When::Always, HY_TLS, -207, "certificate issuer check failed"),
    curl_row(CURLE_SSL_SHUTDOWN_FAILED, When::Always, HY_TLS, -107, "TLS shutdown failed"),
    curl_row(CURLE_BAD_CONTENT_ENCODING, When::Always, HY_PROTOCOL, -330, "body failed to decode"),
    curl_row(CURLE_GOT_NOTHING, When::Always, HY_NETWORK, -324, "closed before any response byte"),
    curl_row(CURLE_SEND_ERROR, When::Reset, HY_NETWORK, -101, "connection reset while sending"),
    curl_row(CURLE_SEND_ERROR, When::Always, HY_NETWORK, -100, "connection closed while sending"),
    curl_row(CURLE_RECV_ERROR, When::TunnelAuth, HY_PROXY, -127, "proxy CONNECT answered 407"),
    curl_row(CURLE_RECV_ERROR, When::TunnelRefused, HY_PROXY, -111, "proxy refused the CONNECT tunnel"),
    curl_row(CURLE_RECV_ERROR, When::ChunkedDecoding, HY_PROTOCOL, -321, "broken chunked body"),
    curl_row(CURLE_RECV_ERROR, When::Reset, HY_NETWORK, -101, "connection reset"),
    curl_row(CURLE_RECV_ERROR, When::Always, HY_NETWORK, -100, "connection closed"),
    curl_row(CURLE_PROXY, When::TunnelAuth, HY_PROXY, -127, "proxy CONNECT answered 407"),
    curl_row(CURLE_PROXY, When::SocksUnreachable, HY_PROXY, -121, "SOCKS proxy could not reach the host"),
    curl_row(CURLE_PROXY, When::Always, HY_PROXY, -120, "SOCKS handshake failed"),
    curl_row(CURLE_AUTH_ERROR, When::ViaProxy, HY_PROXY, -115, "proxy authentication scheme unsupported"),
    curl_row(CURLE_TOO_MANY_REDIRECTS, When::Always, HY_REDIRECT, -310, "too many redirects"),
    curl_row(CURLE_ABORTED_BY_CALLBACK, When::Always, HY_CANCELED, -3, "aborted"),
};

// The TLS library's reasons (OpenSSL's or the Core's own BoringSSL's) for
// a handshake that found no version or cipher both sides accept, whether seen here or told by the server's alert; Chromium
// reports all of them as SSL_VERSION_OR_CIPHER_MISMATCH.
bool is_tls_mismatch(unsigned long error) {
    if (ERR_GET_LIB(error) != ERR_LIB_SSL) return false;
    switch (ERR_GET_REASON(error)) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
#ifdef OPENSSL_IS_BORINGSSL
    case SSL_R_NO_SHARED_GROUP:
#else
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
#endif
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        return true;
    default:
        return false;
    }
}

bool holds(When when, const CurlFacts& f) {
    switch (when) {
    case When::Always: return true;
    case When::ViaProxy: return f.via_proxy;
    case When::Refused: return f.os_errno == ECONNREFUSED;
    case When::Reset: return f.os_errno == ECONNRESET;
    case When::Unreachable: return f.os_errno == ENETUNREACH || f.os_errno == EHOSTUNREACH;
    case When::ConnectTimedOut: return f.os_errno == ETIMEDOUT;
    case When::NotConnected: return !f.connected;
    case When::Connected: return f.connected;
    case When::TunnelAuth: return f.connect_code == 407;
    case When::TunnelRefused: return f.connect_code != 0 && (f.connect_code < 200 || f.connect_code > 299);
    case When::ProxyCertificate: return f.via_proxy && f.proxy_ssl_verify != 0;
    case When::TlsMismatch: return is_tls_mismatch(f.tls_error);
    case When::CertHostName:
        // curl checks the name itself before it reads the chain's result,
        // which then still holds its "not read" mark (1, !X509_V_OK) or
        // success; OpenSSL reports its own name checks.  A failed chain
        // leaves its own code.
        return f.ssl_verify == X509_V_OK || f.ssl_verify == 1 || f.ssl_verify == X509_V_ERR_HOSTNAME_MISMATCH ||
               f.ssl_verify == X509_V_ERR_IP_ADDRESS_MISMATCH;
    case When::CertDate:
        return f.ssl_verify == X509_V_ERR_CERT_NOT_YET_VALID || f.ssl_verify == X509_V_ERR_CERT_HAS_EXPIRED;
    case When::CertAuthority:
        return f.ssl_verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
               f.ssl_verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
               f.ssl_verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
               f.ssl_verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
               f.ssl_verify == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
    case When::ChunkedBody: return f.chunked;
    // A receive failure in a chunked body with no socket error: curl's
    // chunk decoder refused what came (a reset or a close has an errno).
    case When::ChunkedDecoding: return f.chunked && f.head_complete && f.os_errno == 0;
    case When::HeadUnfinished: return !f.head_complete;
    case When::DecodingBody: return f.decoding;
    case When::DohNoAnswer: return f.doh && !f.connected;
    case When::SocksUnreachable:
        return f.proxy_error == CURLPX_REPLY_HOST_UNREACHABLE ||
               f.proxy_error == CURLPX_REPLY_NETWORK_UNREACHABLE ||
               f.proxy_error == CURLPX_REPLY_CONNECTION_REFUSED ||
               f.proxy_error == CURLPX_RESOLVE_HOST;
    }
    return false;
}

}  // namespace

std::span<const ErrorRow> error_table() { return {std::begin(kTable), std::end(kTable)}; }

Outcome map_curl_failure(const CurlFacts& facts) {
    for (const ErrorRow& row : kTable) {
        if (row.from_curl && row.curl == facts.code && holds(row.when, facts))
            return {row.result, row.net_error};
    }
    // A curl code the table does not name: a generic network failure.
    return {HY_NETWORK, -2};
}

Outcome map_cause(Cause cause) {
    for (const ErrorRow& row : kTable) {
        if (!row.from_curl && row.cause == cause) return {row.result, row.net_error};
    }
    return {HY_NETWORK, -2};
}

}  // namespace halyard
