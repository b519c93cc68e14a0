// URL parsing and resolution through libcurl's URL API.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halyard {

struct ParsedUrl {
    std::string url;      // normalised absolute URL
    std::string scheme;   // lower case
    std::string host;     // lower case
    std::string port;     // explicit or the scheme's default
};

// Parses an absolute URL with any scheme; nothing if it cannot be parsed.
std::optional<ParsedUrl> parse_url(std::string_view text);

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
