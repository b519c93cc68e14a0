// URL parsing and resolution through libcurl's URL API.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace halyard {

// An owned libcurl URL handle.
struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// One part of a parsed URL; nothing when the URL has no such part.
std::optional<std::string> url_part(CURLU* u, CURLUPart part, unsigned flags = 0);

struct ParsedUrl {
    std::string url;      // normalised absolute URL
    std::string scheme;   // lower case
    std::string host;     // lower case
    std::string port;     // explicit or the scheme's default
};

// Parses an absolute URL with any scheme; nothing if it cannot be parsed.
// The URL comes out in the form a browser sends: see browser_encoded, and
// an international host name in its ASCII (IDNA) form.
std::optional<ParsedUrl> parse_url(std::string_view text);

// Whether `text` holds a byte that browser_encoded or the host's IDNA form
// would change: a byte of 0x80 or more, a space, or one of " < > ` { } ^ '.
bool needs_browser_encoding(std::string_view text);

// `text` (an absolute URL or a reference) with the bytes a browser
// percent-encodes percent-encoded, in upper-case hex: spaces, controls and
// bytes of 0x80 or more everywhere after the host (in user names and
// passwords too), and " < > ` { } ^ in the path, " < > ' in the query,
// " < > ` in the fragment (the URL standard's percent-encode sets).  '%'
// is left as it is, as browsers leave it.
std::string browser_encoded(std::string_view text);

bool is_http_scheme(std::string_view scheme);

// Resolution of a redirect's Location against the URL that answered it.
struct Resolved {
    enum Status { Ok, Invalid, Unsafe } status;
    std::string url;      // absolute target when Ok
};
Resolved resolve_location(std::string_view base, std::string_view location);

// The URL without its user name and password (unchanged when it has none
// or cannot be parsed).
std::string without_credentials(std::string_view url);

// Same scheme, host and port.
bool same_origin(const ParsedUrl& a, const ParsedUrl& b);

}  // namespace halyard
