// Impersonation profiles: the headers of a browser's top-level navigation
// in that browser's order, and its TLS ClientHello settings.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "profile/h2_framing.h"
#include "profile/tls_profile.h"

namespace halyard {

// Why a profile header is sent, which decides when it is left out or
// takes another value (http/request_headers.cpp).
enum class HeaderRole {
    Plain,            // always sent as given
    Connection,       // HTTP/1.1 only; curl drops it on HTTP/2 by itself
    ClientHint,       // sec-ch-ua*: secure contexts only
    FetchMetadata,    // sec-fetch-*: secure contexts only
    UserAgent,        // replaced by the engine's user agent option
    AcceptEncoding,   // the full list only for secure contexts
    AcceptLanguage,   // replaced by the engine's accept-language option
    Http2Only,        // priority, te: only when the request may go out on HTTP/2
};

struct ProfileHeader {
    std::string name;    // as the browser writes it on HTTP/1.1
    std::string value;
    HeaderRole role = HeaderRole::Plain;
};

enum class BrowserFamily { Chrome, Edge, Firefox, Safari };

// The order and lines of a browser's WebSocket upgrade request
// (websocket/handshake.cpp); Safari's was never captured here and keeps
// Chromium's.
enum class WebSocketLayout { Chromium, Firefox };

struct BrowserProfile {
    std::string name;              // the engine option's text, e.g. chrome_120
    BrowserFamily family = BrowserFamily::Chrome;
    int major = 0;
    std::vector<ProfileHeader> headers;
    std::string insecure_accept_encoding;  // Accept-Encoding outside secure contexts
    TlsProfile tls;
    // The HEADERS priority of a request at the default priority.
    long h2_weight = 256;
    bool h2_exclusive = true;
    // SETTINGS, connection window and pseudo-header order.
    H2Framing h2;
    WebSocketLayout websocket = WebSocketLayout::Chromium;
    std::string websocket_accept_encoding;  // empty: no Accept-Encoding in the upgrade
};

// The profile of that name, or null when the Core has none by that name.
std::shared_ptr<const BrowserProfile> find_profile(std::string_view name);

// Every profile name the Core accepts, in table order.
std::vector<std::string> profile_names();

}  // namespace halyard
