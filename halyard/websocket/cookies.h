// Cookies of a WebSocket handshake, which curl does not send itself: the
// Cookie line chosen from the engine's jar, and the answer's Set-Cookie
// values turned into jar lines for curl to store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

namespace halyard {

// The jar's lines (CURLINFO_COOKIELIST, Netscape format) as seen through
// `easy`'s share; none for a null handle or when curl cannot list them.
std::vector<std::string> jar_lines(CURL* easy);

// True for the hosts browsers treat as secure origins without TLS.
bool is_local_host(std::string_view host);

// The Cookie header value for a handshake to `host` and `path` from the
// jar's lines (CURLINFO_COOKIELIST, Netscape format): domain, path,
// Secure (`secure`: wss, or a local host) and expiry (`now`, seconds since
// the epoch) are applied; longer paths come first.  Empty when none apply.
std::string cookie_header(const std::vector<std::string>& jar_lines, std::string_view host,
                          std::string_view path, bool secure, int64_t now);

// One Set-Cookie value received from `host` for a request to `path`, as a
// Netscape-format jar line for CURLOPT_COOKIELIST; nothing when the cookie
// is refused (no name, a Domain that does not cover the host).  An expired
// cookie (Max-Age <= 0 or a past Expires) gets an expiry in the past, which
// removes the cookie of that name from the jar.
std::optional<std::string> jar_line_from_set_cookie(std::string_view set_cookie, std::string_view host,
                                                     std::string_view path, int64_t now);

}  // namespace halyard
