// Named engine options beyond the engine record (connection limits and
// name resolution), read from the text of hy_engine_create_with_options:
// one "name=value" per line.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace halyard {

struct EngineOptions {
    // Transfers running at once over all origins of the engine's
    // connection group; 0: no overall limit.
    int max_connections = 0;
    // Transfers running at once per origin (browsers: 6).
    int max_connections_per_host = 6;
    // Idle connections the hub keeps (CURLMOPT_MAXCONNECTS); 0: curl's choice.
    long max_keepalive_connections = 0;
    // Longest idle time of a reused connection (CURLOPT_MAXAGE_CONN), in
    // milliseconds rounded up to seconds; -1: curl's 118 s.
    long keepalive_expiry_ms = -1;
    // "host:port:address" entries (CURLOPT_RESOLVE), as given.
    std::vector<std::string> resolve;
    std::shared_ptr<curl_slist> resolve_list;   // built from `resolve`
    long ip_resolve = CURL_IPRESOLVE_WHATEVER;  // CURLOPT_IPRESOLVE
    std::string doh_url;                        // CURLOPT_DOH_URL; empty: the system resolver

    // What makes connections differ, for the engine's connection group.
    std::string group_key() const;
};

// Fills `out` from the option text; HY_OK, or HY_INVALID_ARGUMENT for an
// unknown name, a bad value or a line without '='.
uint32_t read_engine_options(std::string_view text, EngineOptions& out);

}  // namespace halyard
