// Validation of the configuration records and the Core's own copies of
// what they hold.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/engine_options.h"
#include "profile/browser_profile.h"
#include "halyard.h"
#include "text/header.h"
#include "transport/tls.h"
#include "text/validate.h"

namespace halyard {

struct EngineSettings {
    std::string user_agent;           // never empty: a default is filled in
    bool user_agent_given = false;    // the record set one (it overrides a profile's)
    std::string accept_language;      // empty: no Accept-Language
    std::string proxy;                // empty: no proxy; else a URL with its scheme
    std::string proxy_scheme;         // http, https, socks5 or socks5h
    std::string proxy_username;
    std::string proxy_password;
    bool proxy_credentials = false;   // user name or password given in their fields
    bool cache_disabled = false;
    std::string impersonate;          // profile name; empty: none
    std::shared_ptr<const BrowserProfile> profile;  // set by Engine::create
    std::string profile_namespace;    // empty: private to the engine
    uint32_t http_version = HY_HTTP_AUTO;
    uint32_t tls_verify = HY_TLS_SYSTEM_ROOTS;
    std::shared_ptr<TrustStore> trust;  // HY_TLS_CA_BUNDLE only
    std::shared_ptr<const ClientCertificate> client_certificate;  // null: none presented
    TlsContextSetup tls_setup;          // points into `trust`, `profile`, `client_certificate`; set by Engine::create
    EngineOptions options;              // hy_engine_create_with_options; defaults otherwise
};

struct RequestSpec {
    std::string url;
    std::optional<ParsedUrl> parsed_url;   // url's parse, kept for the first hop
    std::string method;
    HeaderList headers;
    uint64_t timeout_ms = 0;
    RequestCallbacks callbacks{};
    std::vector<uint8_t> body;
    uint32_t body_kind = HY_BODY_NONE;
    uint32_t cache_mode = HY_CACHE_DEFAULT;
    uint32_t redirect_mode = HY_REDIRECT_FOLLOW;
    uint32_t priority = HY_PRIORITY_DEFAULT;
};

std::string default_user_agent();

// Each returns HY_OK and fills `out`, or the code that refuses the record:
// HY_UNSUPPORTED_ABI for another interface version, HY_INVALID_ARGUMENT for
// anything else that is wrong.
uint32_t read_engine_config(const EngineConfig* config, EngineSettings& out);
uint32_t read_request_config(const RequestConfig* config, RequestSpec& out);

// Upper-cases DELETE, GET, HEAD, OPTIONS, POST and PUT given in any case, as
// browsers do; other methods stay as given.
std::string normalize_method(std::string_view method);

}  // namespace halyard
