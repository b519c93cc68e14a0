// The libcurl functions a transfer is driven with, as a table: the linked
// (OpenSSL) libcurl for TCP, and a second libcurl reached through dlopen
// for QUIC.  Debian versions each flavour's symbols, so both live in one
// process; the second one is looked up by its own handle, never by name
// in the global scope.
#pragma once

#include <curl/curl.h>

#include <string>

namespace halyard {

struct CurlApi {
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL*);
    void (*easy_reset)(CURL*);
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    CURLcode (*easy_pause)(CURL*, int);
    CURLM* (*multi_init)();
    CURLMcode (*multi_cleanup)(CURLM*);
    CURLMcode (*multi_add_handle)(CURLM*, CURL*);
    CURLMcode (*multi_remove_handle)(CURLM*, CURL*);
    CURLMcode (*multi_perform)(CURLM*, int*);
    CURLMsg* (*multi_info_read)(CURLM*, int*);
    CURLMcode (*multi_timeout)(CURLM*, long*);
    CURLMcode (*multi_setopt)(CURLM*, CURLMoption, ...);
    // Only the QUIC library has it (curl 8.8 and later); null otherwise.
    CURLMcode (*multi_waitfds)(CURLM*, curl_waitfd*, unsigned int, unsigned int*);
};

// The libcurl the Core is linked with.
const CurlApi& linked_curl();

// The HTTP/3-capable libcurl, loaded and initialised on first use; null
// when it is missing or was built without HTTP/3 (quic_unavailable_reason
// says why).  Thread-safe.
const CurlApi* quic_curl();
const std::string& quic_unavailable_reason();
// "libcurl/8.14.1 GnuTLS/... ngtcp2/... nghttp3/..." or "" when unavailable.
const std::string& quic_curl_version();

// The file loaded for QUIC.  VESPER_QUIC_LIBCURL overrides it (a test
// points it at a missing file to see the Core without QUIC).
const char* quic_library_name();

}  // namespace halyard
