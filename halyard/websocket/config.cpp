#include "websocket/config.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "api/config.h"
#include "api/record_fields.h"
#include "text/url.h"
#include "text/validate.h"
#include "websocket/handshake.h"

namespace halyard {
namespace {

std::string part(CURLU* u, CURLUPart which) { return url_part(u, which).value_or(""); }

// Fills the URL fields of `out` from a ws:// or wss:// URL that
// validate_websocket_url accepted.
bool read_url(WebSocketSpec& out) {
    UrlHandle u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, out.url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    std::string scheme = part(u.get(), CURLUPART_SCHEME);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string host = part(u.get(), CURLUPART_HOST);
    if (host.empty()) return false;
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    out.secure = scheme == "wss";
    const std::string default_port = out.secure ? "443" : "80";
    std::string port = part(u.get(), CURLUPART_PORT);
    if (port == default_port) port.clear();
    out.host_header = host + (port.empty() ? "" : ":" + port);
    out.host = host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    std::string path = part(u.get(), CURLUPART_PATH);
    if (path.empty()) path = "/";
    const std::string query = part(u.get(), CURLUPART_QUERY);
    out.target = query.empty() ? path : path + "?" + query;
    out.http_url = std::string(out.secure ? "https://" : "http://") + out.host_header + out.target;
    return true;
}

}  // namespace

uint32_t read_websocket_config(const WebSocketConfig* c, WebSocketSpec& out) {
    if (uint32_t rc = check_record_header(c); rc != HY_OK) return rc;
    if (uint32_t rc = check_record_header(&c->callbacks); rc != HY_OK) return rc;
    out = WebSocketSpec{};
    const WebSocketCallbacks& cb = c->callbacks;
    if (!cb.on_open || !cb.on_message || !cb.on_closing || !cb.on_close || !cb.on_error) return HY_INVALID_ARGUMENT;
    out.callbacks = cb;

    if (c->url_len == 0 || !read_text(c->url, c->url_len, out.url) || !validate_websocket_url(out.url))
        return HY_INVALID_ARGUMENT;
    // The handshake goes out as a browser sends it.
    if (needs_browser_encoding(out.url)) {
        auto parsed = parse_url(out.url);
        if (!parsed) return HY_INVALID_ARGUMENT;
        out.url = parsed->url;
    }
    if (!read_url(out)) return HY_INVALID_ARGUMENT;
    // An origin is optional; one given must be a serialised origin.
    if (!read_text(c->origin, c->origin_len, out.origin) || (!out.origin.empty() && !validate_origin(out.origin)))
        return HY_INVALID_ARGUMENT;

    if (c->protocol_count > 0 && c->protocols == nullptr) return HY_INVALID_ARGUMENT;
    for (uint64_t i = 0; i < c->protocol_count; ++i) {
        std::string p;
        if (!read_text(c->protocols[i].text, c->protocols[i].text_len, p)) return HY_INVALID_ARGUMENT;
        out.protocols.push_back(std::move(p));
    }
    // Subprotocol names are tokens and may not repeat (browsers throw).
    const std::vector<std::string_view> protocols(out.protocols.begin(), out.protocols.end());
    if (!validate_protocols(protocols)) return HY_INVALID_ARGUMENT;

    if (c->header_count > 0 && c->headers == nullptr) return HY_INVALID_ARGUMENT;
    for (uint64_t i = 0; i < c->header_count; ++i) {
        const HeaderEntry& e = c->headers[i];
        Header h;
        if (!read_text(e.name, e.name_len, h.name) || !read_text(e.value, e.value_len, h.value)) return HY_INVALID_ARGUMENT;
        if (!validate_header(h.name, h.value) || is_websocket_handshake_header(h.name)) return HY_INVALID_ARGUMENT;
        h.value = std::string(trim(h.value));
        out.headers.push_back(std::move(h));
    }
    out.timeout_ms = c->timeout_ms;
    return HY_OK;
}

}  // namespace halyard
