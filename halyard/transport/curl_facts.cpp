#include "transport/curl_facts.h"

#include <openssl/x509_vfy.h>

#include <charconv>

namespace halyard {

unsigned long openssl_error_in(std::string_view message) {
    static constexpr std::string_view kMark = "error:";
    for (size_t at = message.find(kMark); at != std::string_view::npos; at = message.find(kMark, at + 1)) {
        const std::string_view rest = message.substr(at + kMark.size());
        if (rest.size() < 9 || rest[8] != ':') continue;
        unsigned long code = 0;
        auto [end, ec] = std::from_chars(rest.data(), rest.data() + 8, code, 16);
        if (ec == std::errc() && end == rest.data() + 8) return code;
    }
    return 0;
}

long x509_result_from_gnutls(long status) {
    // gnutls/x509.h's values, written out so the Core does not build
    // against GnuTLS for five constants.
    constexpr long kSignerNotFound = 1 << 6, kSignerNotCa = 1 << 7, kNotActivated = 1 << 9,
                   kExpired = 1 << 10, kUnexpectedOwner = 1 << 14;
    if (status == 0) return X509_V_OK;
    if (status & kExpired) return X509_V_ERR_CERT_HAS_EXPIRED;
    if (status & kNotActivated) return X509_V_ERR_CERT_NOT_YET_VALID;
    if (status & (kSignerNotFound | kSignerNotCa)) return X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
    if (status & kUnexpectedOwner) return X509_V_ERR_HOSTNAME_MISMATCH;
    return X509_V_ERR_UNSPECIFIED;
}

CurlFacts read_curl_facts(CURL* easy, CURLcode code, bool via_proxy, std::string_view message, const CurlApi& api) {
    CurlFacts f;
    f.code = code;
    f.via_proxy = via_proxy;
    if (code == CURLE_SSL_CONNECT_ERROR) f.tls_error = openssl_error_in(message);
    if (easy != nullptr) {
        api.easy_getinfo(easy, CURLINFO_OS_ERRNO, &f.os_errno);
        api.easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &f.ssl_verify);
        if (&api != &linked_curl()) f.ssl_verify = x509_result_from_gnutls(f.ssl_verify);
        api.easy_getinfo(easy, CURLINFO_PROXY_SSL_VERIFYRESULT, &f.proxy_ssl_verify);
        api.easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &f.connect_code);
        api.easy_getinfo(easy, CURLINFO_PROXY_ERROR, &f.proxy_error);
        curl_off_t connect_time = 0;
        api.easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connect_time);
        // A connect on loopback can take under a microsecond's resolution:
        // a local port also says a connection was made.
        long local_port = 0;
        api.easy_getinfo(easy, CURLINFO_LOCAL_PORT, &local_port);
        f.connected = connect_time > 0 || local_port > 0;
    }
    return f;
}

}  // namespace halyard
