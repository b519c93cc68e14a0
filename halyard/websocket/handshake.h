// The HTTP/1.1 upgrade handshake of a WebSocket: the request the Core
// sends and the checks of the server's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "profile/browser_profile.h"
#include "text/header.h"
#include "websocket/deflate.h"

namespace halyard {

// Sixteen random bytes in base64, fresh for every handshake.
std::string make_websocket_key();

// The Sec-WebSocket-Accept value a server must answer to `key`.
std::string websocket_accept(std::string_view key);

struct HandshakeRequest {
    std::string target;           // path and query, "/" at least
    std::string host;             // Host header value
    std::string origin;           // empty: no Origin
    std::string user_agent;
    std::string accept_language;  // empty: none
    std::string cookie;           // from the engine's jar; empty: none
    std::string key;
    std::vector<std::string> protocols;
    HeaderList headers;           // the caller's, in order
    bool offer_deflate = true;
    WebSocketLayout layout = WebSocketLayout::Chromium;
    std::string accept_encoding;  // empty: none
    std::string fetch_site;       // Sec-Fetch-Site (Firefox); empty: no Sec-Fetch-* lines
    std::string deflate_offer;    // the caller's own offer; empty: the layout's (the browser's)
};

// The Origin a browser page of the target's own origin sends.
std::string same_origin(bool secure, std::string_view host_header);


// The request, in the order the layout's browser sends its lines; a
// caller's header replaces the Core's line of the same name (User-Agent,
// Origin, Accept, Accept-Language, Accept-Encoding, Pragma, Cache-Control,
// Sec-Fetch-*) and otherwise follows them.
std::string build_handshake_request(const HandshakeRequest& request);

// Where the answer head ends (just past its empty line) in what was read so
// far, or npos.
size_t find_head_end(std::string_view received);

struct HandshakeResult {
    bool ok = false;
    int status = 0;                 // 0: no status line could be read
    int32_t net_error = 0;          // on failure
    std::string error;              // on failure, readable
    std::string protocol;           // the selected subprotocol, or empty
    std::string extensions;         // the accepted extensions as answered
    std::optional<DeflateParams> deflate;
    std::vector<std::string> set_cookies;
};

// Checks a complete answer head: status 101, Upgrade: websocket,
// Connection: Upgrade, the Accept value for `key`, a subprotocol only from
// `offered` (at most one), extensions only as offered.  Set-Cookie values
// are returned also when the handshake is refused.
HandshakeResult check_handshake_answer(std::string_view head, std::string_view key,
                                       const std::vector<std::string>& offered, bool offered_deflate);

}  // namespace halyard
