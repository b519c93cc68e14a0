#include "text/validate.h"

#include <algorithm>

#include "text/url.h"

namespace halyard {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Control characters may appear nowhere in a URL the Core takes, a space
// not at either end; a space inside is percent-encoded (as browsers do)
// before the URL goes on a request line.
bool has_control_or_space(std::string_view text) {
    if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) return true;
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool is_decimal(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;  // 19 digits never overflow
    value = 0;
    for (char c : text) {
        if (!is_digit(c)) return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool is_port(std::string_view text) {
    uint64_t port = 0;
    return text.size() <= 5 && is_decimal(text, port) && port >= 1 && port <= 65535;
}

// A host name or IPv4 address: letters, digits, '-', '.', '_', '~' (the
// unreserved characters of a URL host; no percent-encoding, no IDN in
// Unicode form).
bool is_plain_host(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
    });
}

// "[" hex digits, ':' and '.' "]", with at least one ':'.
bool is_ipv6_literal(std::string_view host) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
    const std::string_view inner = host.substr(1, host.size() - 2);
    return inner.find(':') != std::string_view::npos &&
           std::all_of(inner.begin(), inner.end(), [](char c) { return is_hex(c) || c == ':' || c == '.'; });
}

bool is_scheme(std::string_view scheme) {
    if (scheme.empty() || !is_alpha(scheme.front())) return false;
    return std::all_of(scheme.begin(), scheme.end(),
                       [](char c) { return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.'; });
}

}  // namespace

bool is_token(std::string_view text) {
    static constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return is_digit(c) || is_alpha(c) || kExtra.find(c) != std::string_view::npos;
    });
}

bool is_header_value(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool validate_method(std::string_view method) { return is_token(method) && !iequals(method, "CONNECT"); }

std::optional<ParsedUrl> parse_request_url(std::string_view url) {
    if (has_control_or_space(url)) return std::nullopt;
    auto parsed = parse_url(url);
    if (!parsed || !is_http_scheme(parsed->scheme)) return std::nullopt;
    return parsed;
}

bool validate_request_url(std::string_view url) { return parse_request_url(url).has_value(); }

bool validate_websocket_url(std::string_view url) {
    // A fragment means nothing to a WebSocket server, and browsers refuse it.
    if (has_control_or_space(url) || url.find('#') != std::string_view::npos) return false;
    auto parsed = parse_url(url);
    return parsed && (parsed->scheme == "ws" || parsed->scheme == "wss");
}

bool validate_header(std::string_view name, std::string_view value) { return is_token(name) && is_header_value(value); }

bool validate_host(std::string_view value) {
    std::string_view host = value;
    std::string_view rest;
    if (!value.empty() && value.front() == '[') {
        const size_t close = value.find(']');
        if (close == std::string_view::npos) return false;
        host = value.substr(0, close + 1);
        rest = value.substr(close + 1);
        if (!is_ipv6_literal(host)) return false;
    } else {
        const size_t colon = value.find(':');
        if (colon != std::string_view::npos) {
            host = value.substr(0, colon);
            rest = value.substr(colon);
        }
        if (!is_plain_host(host)) return false;
    }
    if (rest.empty()) return true;
    return rest.front() == ':' && is_port(rest.substr(1));
}

bool validate_protocols(std::span<const std::string_view> protocols) {
    for (size_t i = 0; i < protocols.size(); ++i) {
        if (!is_token(protocols[i])) return false;
        for (size_t j = 0; j < i; ++j) {
            if (protocols[j] == protocols[i]) return false;
        }
    }
    return true;
}

bool validate_origin(std::string_view origin) {
    if (origin == "null") return true;
    const size_t separator = origin.find("://");
    if (separator == std::string_view::npos) return false;
    // The host part refuses '/', '?', '#' and '@', so no path, query,
    // fragment or user name gets through.
    return is_scheme(origin.substr(0, separator)) && validate_host(origin.substr(separator + 3));
}

bool is_websocket_handshake_header(std::string_view name) {
    static constexpr std::string_view kOwned[] = {"Host", "Connection", "Upgrade", "Content-Length",
                                                  "Transfer-Encoding"};
    constexpr std::string_view kPrefix = "Sec-WebSocket-";
    if (name.size() >= kPrefix.size() && iequals(name.substr(0, kPrefix.size()), kPrefix)) return true;
    return std::any_of(std::begin(kOwned), std::end(kOwned), [&](std::string_view owned) { return iequals(name, owned); });
}

bool validate_request_headers(const HeaderList& headers, bool streamed, uint64_t body_len) {
    int content_length = 0, transfer_encoding = 0, host = 0;
    for (const Header& h : headers) {
        const std::string_view value = trim(h.value);
        if (iequals(h.name, "Content-Length")) {
            uint64_t length = 0;
            if (++content_length > 1 || streamed || !is_decimal(value, length) || length != body_len) return false;
        } else if (iequals(h.name, "Transfer-Encoding")) {
            if (++transfer_encoding > 1 || !streamed || !iequals(value, "chunked")) return false;
        } else if (iequals(h.name, "Host")) {
            if (++host > 1 || !validate_host(value)) return false;
        }
    }
    return true;
}

}  // namespace halyard
