// What curl's transfer info says about a failed connect-only transfer or a
// failed send or receive on its connection, for the error table.
#pragma once

#include <curl/curl.h>

#include <string_view>

#include "transport/curl_api.h"
#include "transport/error_map.h"

namespace halyard {

// `message` must outlive the returned facts (curl's error buffer).
// `api` is the libcurl that ran the transfer; the QUIC one (GnuTLS) reports
// its certificate verdict in GnuTLS terms, translated here.
CurlFacts read_curl_facts(CURL* easy, CURLcode code, bool via_proxy, std::string_view message,
                          const CurlApi& api = linked_curl());

// A GnuTLS certificate status (gnutls_certificate_status_t bits) as the
// OpenSSL verification result the error table reads.
long x509_result_from_gnutls(long status);

}  // namespace halyard
