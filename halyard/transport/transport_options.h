// What every curl transfer of an engine shares, HTTP requests and
// WebSocket connections alike: the hub's share (cookies, TLS sessions,
// DNS), the engine's proxy (never the environment's) and its TLS rules.
#pragma once

#include <curl/curl.h>

#include "api/config.h"
#include "transport/curl_api.h"

namespace halyard {

// Collects the first failure of a run of curl_easy_setopt calls.
class CurlOptions {
public:
    explicit CurlOptions(CURL* easy, const CurlApi& api = linked_curl()) : easy_(easy), api_(&api) {}
    template <typename T>
    void set(CURLoption option, T value) {
        if (rc_ == CURLE_OK) rc_ = api_->easy_setopt(easy_, option, value);
    }
    void check(CURLcode rc) {
        if (rc_ == CURLE_OK) rc_ = rc;
    }
    CURLcode result() const { return rc_; }

private:
    CURL* easy_;
    const CurlApi* api_;
    CURLcode rc_ = CURLE_OK;
};

// Sets the share, cookie engine, proxy, name resolution and TLS options of `easy`.
void apply_transport_options(CurlOptions& o, CURL* easy, const EngineSettings& settings, CURLSH* share);

// The engine options on names and reuse: pinned addresses, IP version,
// DNS over HTTPS (verified as the engine verifies servers: `verify_tls`),
// the idle age of a reused connection.
void apply_resolution_options(CurlOptions& o, const EngineOptions& options, bool verify_tls);

// The User-Agent the engine sends: its option when given, else its
// profile's, else the Core's own.
std::string_view engine_user_agent(const EngineSettings& settings);

}  // namespace halyard
