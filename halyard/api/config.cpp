#include "api/config.h"

#include <algorithm>
#include <string_view>

#include "api/record_fields.h"
#include "text/url.h"

#ifndef HALYARD_VERSION
#define HALYARD_VERSION "0.0.0"
#endif

namespace halyard {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

std::string default_user_agent() { return "halyard/" HALYARD_VERSION; }

std::string normalize_method(std::string_view method) {
    static constexpr std::string_view kNormalized[] = {"DELETE", "GET", "HEAD", "OPTIONS", "POST", "PUT"};
    for (auto name : kNormalized) {
        if (iequals(method, name)) return std::string(name);
    }
    return std::string(method);
}

uint32_t read_engine_config(const EngineConfig* c, EngineSettings& out) {
    if (uint32_t rc = check_record_header(c); rc != HY_OK) return rc;
    out = EngineSettings{};
    if (!read_text(c->user_agent, c->user_agent_len, out.user_agent) ||
        !read_text(c->proxy, c->proxy_len, out.proxy) ||
        !read_text(c->proxy_username, c->proxy_username_len, out.proxy_username) ||
        !read_text(c->proxy_password, c->proxy_password_len, out.proxy_password) ||
        !read_text(c->accept_language, c->accept_language_len, out.accept_language) ||
        !read_text(c->impersonate, c->impersonate_len, out.impersonate) ||
        !read_text(c->profile_namespace, c->profile_namespace_len, out.profile_namespace))
        return HY_INVALID_ARGUMENT;
    if (c->ca_bundle_len > 0 && c->ca_bundle == nullptr) return HY_INVALID_ARGUMENT;
    if (c->cache_disabled > 1 || c->http_version > HY_HTTP_3 || c->tls_verify > HY_TLS_NO_VERIFY)
        return HY_INVALID_ARGUMENT;
    out.cache_disabled = c->cache_disabled == 1;
    out.http_version = c->http_version;
    out.tls_verify = c->tls_verify;

    // Texts that become header lines.
    if (!is_header_value(out.user_agent) || !is_header_value(out.accept_language))
        return HY_INVALID_ARGUMENT;
    out.user_agent_given = !out.user_agent.empty();
    if (out.user_agent.empty()) out.user_agent = default_user_agent();

    // The proxy: a URL of one of the four schemes curl is told to speak;
    // without a scheme it is an HTTP proxy.
    if (!out.proxy.empty()) {
        if (has_nul(out.proxy)) return HY_INVALID_ARGUMENT;
        if (out.proxy.find("://") == std::string::npos) out.proxy = "http://" + out.proxy;
        auto parsed = parse_url(out.proxy);
        if (!parsed) return HY_INVALID_ARGUMENT;
        static constexpr std::string_view kSchemes[] = {"http", "https", "socks5", "socks5h"};
        if (std::find(std::begin(kSchemes), std::end(kSchemes), parsed->scheme) == std::end(kSchemes))
            return HY_INVALID_ARGUMENT;
        out.proxy_scheme = parsed->scheme;
    }
    if (has_nul(out.proxy_username) || has_nul(out.proxy_password)) return HY_INVALID_ARGUMENT;
    out.proxy_credentials = !out.proxy_username.empty() || !out.proxy_password.empty();
    // Credentials without a proxy have nothing to apply to.
    if (out.proxy_credentials && out.proxy.empty()) return HY_INVALID_ARGUMENT;

    if (out.tls_verify == HY_TLS_CA_BUNDLE) {
        out.trust = TrustStore::from_pem(c->ca_bundle, static_cast<size_t>(c->ca_bundle_len));
        if (!out.trust) return HY_INVALID_ARGUMENT;
    }
    return HY_OK;
}

uint32_t read_request_config(const RequestConfig* c, RequestSpec& out) {
    if (uint32_t rc = check_record_header(c); rc != HY_OK) return rc;
    if (uint32_t rc = check_record_header(&c->callbacks); rc != HY_OK) return rc;
    out = RequestSpec{};
    const RequestCallbacks& cb = c->callbacks;
    if (!cb.on_response || !cb.on_data || !cb.on_complete || !cb.on_redirect) return HY_INVALID_ARGUMENT;
    out.callbacks = cb;

    if (c->url_len == 0 || !read_text(c->url, c->url_len, out.url)) return HY_INVALID_ARGUMENT;
    out.parsed_url = parse_request_url(out.url);
    if (!out.parsed_url) return HY_INVALID_ARGUMENT;
    // Sent, and reported, as a browser sends it.
    if (needs_browser_encoding(out.url)) out.url = out.parsed_url->url;

    std::string method;
    if (c->method_len == 0 || !read_text(c->method, c->method_len, method) || !validate_method(method))
        return HY_INVALID_ARGUMENT;
    out.method = normalize_method(method);

    if (c->header_count > 0 && c->headers == nullptr) return HY_INVALID_ARGUMENT;
    out.headers.reserve(static_cast<size_t>(c->header_count));
    for (uint64_t i = 0; i < c->header_count; ++i) {
        const HeaderEntry& e = c->headers[i];
        Header h;
        if (!read_text(e.name, e.name_len, h.name) || !read_text(e.value, e.value_len, h.value))
            return HY_INVALID_ARGUMENT;
        if (!validate_header(h.name, h.value)) return HY_INVALID_ARGUMENT;
        h.value = std::string(trim(h.value));
        out.headers.push_back(std::move(h));
    }

    if (c->body_kind > HY_BODY_STREAM) return HY_INVALID_ARGUMENT;
    if (c->body_kind != HY_BODY_BYTES && c->body_len != 0) return HY_INVALID_ARGUMENT;
    if (c->body_len > 0 && c->body == nullptr) return HY_INVALID_ARGUMENT;
    out.body_kind = c->body_kind;
    if (c->body_len > 0) out.body.assign(c->body, c->body + c->body_len);

    if (c->cache_mode > HY_CACHE_ONLY_IF_CACHED || c->redirect_mode > HY_REDIRECT_ERROR ||
        c->priority > HY_PRIORITY_IDLE)
        return HY_INVALID_ARGUMENT;
    out.cache_mode = c->cache_mode;
    out.redirect_mode = c->redirect_mode;
    out.priority = c->priority;
    out.timeout_ms = c->timeout_ms;

    // Content-Length, Transfer-Encoding and Host must agree with what goes
    // on the wire: HEAD sends no body whatever the record holds.
    const bool head = out.method == "HEAD";
    const bool streamed = !head && out.body_kind == HY_BODY_STREAM;
    const uint64_t body_len = head ? 0 : out.body.size();
    if (!validate_request_headers(out.headers, streamed, body_len)) return HY_INVALID_ARGUMENT;
    return HY_OK;
}

}  // namespace halyard
