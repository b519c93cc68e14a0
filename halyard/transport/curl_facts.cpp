#include "transport/curl_facts.h"

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

CurlFacts read_curl_facts(CURL* easy, CURLcode code, bool via_proxy, std::string_view message) {
    CurlFacts f;
    f.code = code;
    f.via_proxy = via_proxy;
    if (code == CURLE_SSL_CONNECT_ERROR) f.tls_error = openssl_error_in(message);
    if (easy != nullptr) {
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &f.os_errno);
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &f.ssl_verify);
        curl_easy_getinfo(easy, CURLINFO_PROXY_SSL_VERIFYRESULT, &f.proxy_ssl_verify);
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &f.connect_code);
        curl_easy_getinfo(easy, CURLINFO_PROXY_ERROR, &f.proxy_error);
        curl_off_t connect_time = 0;
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connect_time);
        // A connect on loopback can take under a microsecond's resolution:
        // a local port also says a connection was made.
        long local_port = 0;
        curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &local_port);
        f.connected = connect_time > 0 || local_port > 0;
    }
    return f;
}

}  // namespace halyard
