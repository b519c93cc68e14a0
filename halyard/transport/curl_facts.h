// What curl's transfer info says about a failed connect-only transfer or a
// failed send or receive on its connection, for the error table.
#pragma once

#include <curl/curl.h>

#include "transport/error_map.h"

namespace halyard {

// Facts only (result codes and CURLINFO values): the mapping never reads
// curl's English messages, which change between libcurl versions.
CurlFacts read_curl_facts(CURL* easy, CURLcode code, bool via_proxy);

}  // namespace halyard
