#include "text/url.h"

#include <curl/curl.h>
#include <idn2.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace halyard {

std::optional<std::string> url_part(CURLU* u, CURLUPart part, unsigned flags) {
    char* out = nullptr;
    if (curl_url_get(u, part, &out, flags) != CURLUE_OK || out == nullptr) return std::nullopt;
    std::string value(out);
    curl_free(out);
    return value;
}

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool has_control_or_nul(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
}

// A host name with non-ASCII letters in its ASCII form, as browsers look it
// up: UTS #46 mapping (so upper case becomes lower case), non-transitional,
// as Chromium and Firefox do.  Nothing if it is not a valid name.
std::optional<std::string> ascii_host(const std::string& host) {
    char* out = nullptr;
    if (idn2_lookup_u8(reinterpret_cast<const uint8_t*>(host.c_str()), reinterpret_cast<uint8_t**>(&out),
                       IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK ||
        out == nullptr)
        return std::nullopt;
    std::string value(out);
    idn2_free(out);
    return value;
}

// Reads the parts of an already parsed URL handle.
// Host names are case-insensitive; the normalised URL carries them in
// lower case, as browsers show them.
std::optional<ParsedUrl> describe(CURLU* u) {
    auto scheme = url_part(u, CURLUPART_SCHEME, 0);
    auto host = url_part(u, CURLUPART_HOST, 0);
    if (!scheme || !host || host->empty()) return std::nullopt;
    if (!is_ascii(*host)) {
        host = ascii_host(*host);
        if (!host || curl_url_set(u, CURLUPART_HOST, host->c_str(), 0) != CURLUE_OK) return std::nullopt;
    }
    const std::string lower_host = lower(*host);
    if (lower_host != *host && curl_url_set(u, CURLUPART_HOST, lower_host.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto url = url_part(u, CURLUPART_URL, 0);
    if (!url) return std::nullopt;
    auto port = url_part(u, CURLUPART_PORT, CURLU_DEFAULT_PORT);
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

constexpr std::string_view kSpecial = " \"<>`{}^'";

void append_escaped(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

}  // namespace

bool needs_browser_encoding(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) {
        return c >= 0x80 || kSpecial.find(static_cast<char>(c)) != std::string_view::npos;
    });
}

std::string browser_encoded(std::string_view text) {
    // Where the authority is: after "scheme://" or a leading "//"; a
    // reference without one starts with its path.
    size_t authority = std::string_view::npos;
    const std::string scheme = scheme_of(text);
    const size_t after_scheme = scheme.empty() ? 0 : scheme.size() + 1;
    if (text.substr(after_scheme, 2) == "//") authority = after_scheme + 2;
    size_t path_start = after_scheme;
    std::string out;
    out.reserve(text.size() + 16);
    if (authority != std::string_view::npos) {
        path_start = std::min(text.find_first_of("/?#", authority), text.size());
        const std::string_view auth = text.substr(authority, path_start - authority);
        const size_t at = auth.rfind('@');
        out.append(text.substr(0, authority));
        // User name and password: their bytes are encoded; the host is left
        // for IDNA, after parsing.
        if (at != std::string_view::npos) {
            for (unsigned char c : auth.substr(0, at)) {
                if (c <= 0x20 || c >= 0x7f) append_escaped(out, c);
                else out += static_cast<char>(c);
            }
            out.append(auth.substr(at));
        } else {
            out.append(auth);
        }
    } else {
        out.append(text.substr(0, path_start));
    }
    enum { Path, Query, Fragment } part = Path;
    for (size_t i = path_start; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '?' && part == Path) part = Query;
        else if (c == '#' && part != Fragment) part = Fragment;
        else {
            std::string_view also = part == Path ? "\"<>`{}^" : part == Query ? "\"<>'" : "\"<>`";
            if (c <= 0x20 || c >= 0x7f || also.find(static_cast<char>(c)) != std::string_view::npos) {
                append_escaped(out, c);
                continue;
            }
        }
        out += static_cast<char>(c);
    }
    return out;
}

namespace {

std::optional<ParsedUrl> parse_url_uncached(std::string_view text) {
    if (text.empty() || has_control_or_nul(text)) return std::nullopt;
    UrlHandle u(curl_url());
    if (!u) return std::nullopt;
    const std::string copy = needs_browser_encoding(text) ? browser_encoded(text) : std::string(text);
    if (curl_url_set(u.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    return describe(u.get());
}

// The last URLs this thread parsed and what came of them.  A parse through
// curl's URL API costs about 15,000 instructions (its printf builds the
// normalised URL and each part is copied out); clients tend to ask for the
// same few URLs again, so a hit saves most of that.  The parse is a pure
// function of the text: nothing else can make a remembered answer stale.
struct UrlMemo {
    static constexpr size_t kEntries = 4;
    // Longer texts are parsed every time: comparing them costs little, but
    // holding them would let one thread keep a lot of memory.
    static constexpr size_t kLongest = 2048;
    struct Entry {
        bool used = false;
        std::string text;
        std::optional<ParsedUrl> parsed;
    };
    Entry entries[kEntries];
    size_t next = 0;
};

}  // namespace

std::optional<ParsedUrl> parse_url(std::string_view text) {
    if (text.size() > UrlMemo::kLongest) return parse_url_uncached(text);
    static thread_local UrlMemo memo;
    for (const UrlMemo::Entry& entry : memo.entries) {
        if (entry.used && entry.text == text) return entry.parsed;
    }
    std::optional<ParsedUrl> parsed = parse_url_uncached(text);
    UrlMemo::Entry& slot = memo.entries[memo.next];
    memo.next = (memo.next + 1) % UrlMemo::kEntries;
    slot.used = true;
    slot.text.assign(text);
    slot.parsed = parsed;
    return parsed;
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
    // can be told apart from garbage.  Spaces, non-ASCII bytes and the rest
    // are percent-encoded, as browsers do.
    const std::string loc = browser_encoded(location);
    if (curl_url_set(u.get(), CURLUPART_URL, loc.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
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
        if (!url_part(u.get(), CURLUPART_USER, 0) && !url_part(u.get(), CURLUPART_PASSWORD, 0)) return copy;
        if (curl_url_set(u.get(), CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
            curl_url_set(u.get(), CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK) {
            if (auto stripped = url_part(u.get(), CURLUPART_URL, 0)) return *stripped;
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
