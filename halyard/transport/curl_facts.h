// What curl's transfer info says about a failed connect-only transfer or a
// failed send or receive on its connection, for the error table.
#pragma once

#include <curl/curl.h>

#include <string_view>

#include "transport/curl_api.h"
#include "transport/error_map.h"

namespace halyard {

// Facts only (result codes, CURLINFO values and, for a failed handshake,
// the OpenSSL error number in curl's `message`): the mapping never reads
// curl's English words, which change between libcurl versions.
// `api` is the libcurl that ran the transfer; the QUIC one (GnuTLS) reports
// its certificate verdict in GnuTLS terms, translated here.
CurlFacts read_curl_facts(CURL* easy, CURLcode code, bool via_proxy, std::string_view message,
                          const CurlApi& api = linked_curl());
// A GnuTLS certificate status (gnutls_certificate_status_t bits) as the
// OpenSSL verification result the error table reads.
long x509_result_from_gnutls(long status);

// The OpenSSL error code curl put into its message for a failed handshake
// ("error:0A000102:..."), 0 if there is none.  curl pops that code from
// OpenSSL's queue before returning, so its message is the one place left
// that holds it; only the number is read, never the words.
unsigned long openssl_error_in(std::string_view message);

}  // namespace halyard
