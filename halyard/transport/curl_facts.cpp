#include "transport/curl_facts.h"

namespace halyard {

CurlFacts read_curl_facts(CURL* easy, CURLcode code, bool via_proxy) {
    CurlFacts f;
    f.code = code;
    f.via_proxy = via_proxy;
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
