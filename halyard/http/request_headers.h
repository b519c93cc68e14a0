// The header list of one request hop: the profile's navigation headers in
// the browser's order, merged with the engine options and the caller's
// headers.
#pragma once

#include <string>
#include <string_view>

#include "profile/browser_profile.h"
#include "text/header.h"

namespace halyard {

struct HeaderInputs {
    const BrowserProfile* profile = nullptr;  // null: no browser headers at all
    std::string_view user_agent;              // the engine option; empty: not given
    std::string_view accept_language;         // the engine option; empty: not given
    std::string_view url;                     // the hop's absolute URL
    bool may_use_http2 = false;               // HTTPS with HTTP/2 allowed
};

// Secure context as browsers define it for these headers: https, or a
// loopback host (localhost, *.localhost, 127.0.0.0/8, ::1).
bool is_potentially_trustworthy(std::string_view url);

// Without a profile: the caller's headers, then the engine's
// Accept-Language unless the caller set one.  With a profile: the
// profile's headers in order (left out or changed by their role), a caller
// header replacing every profile header of its name at that place, and the
// caller's other headers after them in the caller's order.
HeaderList compose_request_headers(const HeaderInputs& in, const HeaderList& caller);

}  // namespace halyard
