#include "text/url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace halyard {
namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::optional<std::string> get_part(CURLU* u, CURLUPart part, unsigned flags) {
    char* out = nullptr;
    if (curl_url_get(u, part, &out, flags) != CURLUE_OK || out == nullptr) return std::nullopt;
    std::string value(out);
    curl_free(out);
    return value;
}

bool has_control_or_nul(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// Reads the parts of an already parsed URL handle.
// Host names are case-insensitive; the normalised URL carries them in
// lower case, as browsers show them.
std::optional<ParsedUrl> describe(CURLU* u) {
    auto scheme = get_part(u, CURLUPART_SCHEME, 0);
    auto host = get_part(u, CURLUPART_HOST, 0);
    if (!scheme || !host || host->empty()) return std::nullopt;
    const std::string lower_host = lower(*host);
    if (lower_host != *host && curl_url_set(u, CURLUPART_HOST, lower_host.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto url = get_part(u, CURLUPART_URL, 0);
    if (!url) return std::nullopt;
    auto port = get_part(u, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    return ParsedUrl{*url, lower(*scheme), lower(*host), port.value_or("")};
}

// The scheme of an absolute reference ("mailto:x" gives "mailto"), lower
// case, or "" for a relative one.
std::string scheme_of(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos) return {};
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return {};
    for (size_t i = 1; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
    }
    return lower(std::string(text.substr(0, colon)));
}

}  // namespace

std::optional<ParsedUrl> parse_url(std::string_view text) {
    if (text.empty() || has_control_or_nul(text)) return std::nullopt;
    UrlHandle u(curl_url());
    if (!u) return std::nullopt;
    const std::string copy(text);
    if (curl_url_set(u.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    return describe(u.get());
}

bool is_http_scheme(std::string_view scheme) { return scheme == "http" || scheme == "https"; }

Resolved resolve_location(std::string_view base, std::string_view location) {
    if (location.empty() || has_control_or_nul(location)) return {Resolved::Invalid, {}};
    // Another scheme is refused as such even where curl cannot parse the
    // rest (mailto:, data:, javascript:).
    const std::string scheme = scheme_of(location);
    if (!scheme.empty() && !is_http_scheme(scheme)) return {Resolved::Unsafe, {}};
    UrlHandle u(curl_url());
    if (!u) return {Resolved::Invalid, {}};
    const std::string base_copy(base);
    if (curl_url_set(u.get(), CURLUPART_URL, base_copy.c_str(), 0) != CURLUE_OK)
        return {Resolved::Invalid, {}};
    // Setting a URL on a handle that holds one resolves it as a reference
    // relative to the old one.  Any scheme parses here, so that a foreign one
    // can be told apart from garbage.  Spaces are percent-encoded, as
    // browsers do.
    const std::string loc(location);
    if (curl_url_set(u.get(), CURLUPART_URL, loc.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE) != CURLUE_OK)
        return {Resolved::Invalid, {}};
    auto parsed = describe(u.get());
    if (!parsed) return {Resolved::Invalid, {}};
    if (!is_http_scheme(parsed->scheme)) return {Resolved::Unsafe, {}};
    return {Resolved::Ok, parsed->url};
}

std::string without_credentials(std::string_view url) {
    UrlHandle u(curl_url());
    const std::string copy(url);
    if (u && curl_url_set(u.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        if (!get_part(u.get(), CURLUPART_USER, 0) && !get_part(u.get(), CURLUPART_PASSWORD, 0)) return copy;
        if (curl_url_set(u.get(), CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
            curl_url_set(u.get(), CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK) {
            if (auto stripped = get_part(u.get(), CURLUPART_URL, 0)) return *stripped;
        }
    }
    // Not parsed: whatever precedes the last '@' of the authority goes, so
    // that no failure path hands the credentials on.
    const size_t start = copy.find("://");
    if (start == std::string::npos) return copy;
    const size_t end = copy.find_first_of("/?#", start + 3);
    const size_t at = copy.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start + 3) return copy;
    return copy.substr(0, start + 3) + copy.substr(at + 1);
}

bool same_origin(const ParsedUrl& a, const ParsedUrl& b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

}  // namespace halyard
