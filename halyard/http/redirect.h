// Browser redirect rules: which responses redirect, where to, with which
// method, body and headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/error_map.h"
#include "text/header.h"

namespace halyard {

constexpr int kMaxRedirects = 20;

// 301, 302, 303, 307 and 308 redirect when they carry a non-empty Location;
// any other 3xx is an ordinary response.
bool is_redirect_status(int status);

struct RedirectInput {
    int status;
    std::string_view location;    // the Location header value
    std::string_view url;         // the URL that answered
    std::string_view method;      // the method that was sent
    bool has_body;                // a body was sent (bytes or stream)
    bool streamed_body;           // the body is a stream that cannot be sent again
    int redirects_followed;       // hops already followed before this one
    uint32_t mode;                // HY_REDIRECT_*
    int max_redirects = kMaxRedirects;  // the request's limit
};

struct RedirectDecision {
    bool fail = false;
    Cause cause = Cause::Internal;    // when fail
    std::string url;                  // absolute target (user name and password only within one origin)
    std::string reported_url;         // the target as on_redirect reports it: never with credentials
    std::string method;               // method of the next hop
    bool keep_body = false;           // the body goes to the next hop
    bool drop_body_headers = false;   // Content-* and Origin go (method became GET or body dropped)
    bool origin_changed = false;
    bool downgraded = false;          // from https to http
};

RedirectDecision decide_redirect(const RedirectInput& in);

// The caller's headers for the next hop: the body headers go with the body
// (or when the method became GET); Authorization, Proxy-Authorization and
// Host go when the origin changes; Referer goes from https to http.
HeaderList headers_for_next_hop(const HeaderList& headers, const RedirectDecision& decision);

}  // namespace halyard
