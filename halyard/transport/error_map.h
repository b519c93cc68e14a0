// Every failure of a request, mapped to a result code and a network error
// number in one table (error_map.cpp).
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "api/outcome.h"

namespace halyard {

// Failures the Core decides itself, with no curl error behind them.
enum class Cause {
    Canceled,            // hy_request_cancel, or release of a running request
    TimedOut,            // the request's whole-request timeout expired
    ConnectTimedOut,     // ... while its transfer had no TCP connection yet
    RedirectRefused,     // redirect mode "error" met a redirect
    RedirectLimit,       // a 21st redirect
    RedirectUnsafe,      // Location is not http or https
    RedirectInvalid,     // Location cannot be parsed
    RedirectNoRewind,    // 307/308 with a streamed body, which cannot be sent twice
    UploadLengthMismatch, // a streamed body's bytes differ from its declared length
    ProxyAuth,           // an HTTP proxy answered 407 to a request sent through it
    EmptyResponse,       // the transfer ended without a response head
    CacheMiss,           // only_if_cached with no cache
    HeadTooBig,          // more than 256 KiB of response head lines
    TooManyHeaderLines,  // more than 100 field lines in one head
    ContentLengthConflict, // Content-Length fields that name different lengths
    DecodedTooLarge,     // a decompression bomb: the body expanded too far
    OutOfMemory,         // allocation failed inside the Core
    Internal,            // an unexpected fault inside the Core
};

// What is known about a failed curl transfer besides its code.
struct CurlFacts {
    CURLcode code = CURLE_OK;
    long os_errno = 0;             // CURLINFO_OS_ERRNO
    long ssl_verify = 0;           // CURLINFO_SSL_VERIFYRESULT
    long proxy_ssl_verify = 0;     // CURLINFO_PROXY_SSL_VERIFYRESULT
    long connect_code = 0;         // CURLINFO_HTTP_CONNECTCODE (proxy CONNECT answer)
    long proxy_error = 0;          // CURLINFO_PROXY_ERROR (CURLproxycode)
    bool via_proxy = false;        // the engine has a proxy
    bool connected = false;        // the connection to the server (or tunnel) was up
    bool chunked = false;          // the response used chunked transfer coding
    bool head_complete = false;    // the final response head had arrived
    bool decoding = false;         // curl was decoding the body (Content-Encoding)
    unsigned long tls_error = 0;   // OpenSSL's packed error code behind a TLS failure, 0 if none
};

// Which facts a table row looks at beyond the code; the first matching row
// for a code wins.
enum class When {
    Always,
    ViaProxy,
    Refused,             // errno ECONNREFUSED
    Reset,               // errno ECONNRESET
    Unreachable,         // errno ENETUNREACH or EHOSTUNREACH
    ConnectTimedOut,     // errno ETIMEDOUT
    NotConnected,        // the connection never came up
    Connected,           // the connection to the server was up
    TunnelAuth,          // proxy CONNECT answered 407
    TunnelRefused,       // proxy CONNECT answered something other than 2xx
    ProxyCertificate,    // the HTTPS proxy's certificate failed verification
    TlsMismatch,         // OpenSSL found no common TLS version or cipher
    CertHostName,        // the certificate does not name the host
    CertDate,            // expired or not yet valid
    CertAuthority,       // not signed by a trusted root
    ChunkedBody,         // the response body was chunked
    ChunkedDecoding,     // a chunked body failed without a socket error
    HeadUnfinished,      // the response head had not arrived in full
    DecodingBody,        // curl was decoding a content-encoded body
    SocksUnreachable,    // the SOCKS proxy could not reach or resolve the target
};

struct ErrorRow {
    bool from_curl;      // true: `curl` and `when` select; false: `cause` selects
    CURLcode curl;
    When when;
    Cause cause;
    uint32_t result;
    int32_t net_error;
    const char* meaning; // one line for the reference table
};

// The table itself, in matching order.
std::span<const ErrorRow> error_table();

Outcome map_curl_failure(const CurlFacts& facts);
Outcome map_cause(Cause cause);

}  // namespace halyard
