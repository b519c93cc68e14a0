#include "transport/curl_facts.h"

#include <openssl/x509_vfy.h>

namespace halyard {

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
    f.message = message;
    if (easy != nullptr) {
        api.easy_getinfo(easy, CURLINFO_OS_ERRNO, &f.os_errno);
        api.easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &f.ssl_verify);
        if (&api != &linked_curl()) f.ssl_verify = x509_result_from_gnutls(f.ssl_verify);
        api.easy_getinfo(easy, CURLINFO_PROXY_SSL_VERIFYRESULT, &f.proxy_ssl_verify);
        api.easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &f.connect_code);
        api.easy_getinfo(easy, CURLINFO_PROXY_ERROR, &f.proxy_error);
        curl_off_t connect_time = 0;
        api.easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connect_time);
        f.connected = connect_time > 0;
    }
    return f;
}

}  // namespace halyard
