#include "transport/transport_options.h"

#include "transport/tls.h"

namespace halyard {

void apply_transport_options(CurlOptions& o, CURL* easy, const EngineSettings& s, CURLSH* share) {
    o.set(CURLOPT_SHARE, share);
    o.set(CURLOPT_COOKIEFILE, "");  // turns the cookie engine on, reading no file
    o.set(CURLOPT_PROXY, s.proxy.c_str());
    o.set(CURLOPT_NOPROXY, "");
    if (s.proxy_credentials) {
        o.set(CURLOPT_PROXYUSERNAME, s.proxy_username.c_str());
        o.set(CURLOPT_PROXYPASSWORD, s.proxy_password.c_str());
    }
    o.set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    apply_resolution_options(o, s.options, s.tls_verify != HY_TLS_NO_VERIFY);
    o.check(apply_tls_options(easy, s.tls_verify, s.tls_setup));
}

void apply_resolution_options(CurlOptions& o, const EngineOptions& options, bool verify_tls) {
    if (options.resolve_list) o.set(CURLOPT_RESOLVE, options.resolve_list.get());
    if (options.ip_resolve != CURL_IPRESOLVE_WHATEVER) o.set(CURLOPT_IPRESOLVE, options.ip_resolve);
    if (!options.doh_url.empty()) {
        // The resolver is trusted as the engine trusts servers: curl hands
        // it the engine's CA bundle, and an engine that verifies nothing
        // does not verify it either.
        o.set(CURLOPT_DOH_URL, options.doh_url.c_str());
        if (!verify_tls) {
            o.set(CURLOPT_DOH_SSL_VERIFYPEER, 0L);
            o.set(CURLOPT_DOH_SSL_VERIFYHOST, 0L);
        }
    }
    // curl counts the age in whole seconds: a part of one is rounded up.
    if (options.keepalive_expiry_ms >= 0) o.set(CURLOPT_MAXAGE_CONN, (options.keepalive_expiry_ms + 999) / 1000);
}

std::string_view engine_user_agent(const EngineSettings& s) {
    if (s.user_agent_given || !s.profile) return s.user_agent;
    for (const ProfileHeader& h : s.profile->headers) {
        if (h.role == HeaderRole::UserAgent) return h.value;
    }
    return s.user_agent;
}

}  // namespace halyard
