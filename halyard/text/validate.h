// Checks of caller input that ends up on the wire: methods, URLs, header
// names and values, WebSocket protocols and origins.  They are pure
// functions of their arguments, so the request and WebSocket create calls
// and the fuzz targets share them.  Each returns true when the input is
// acceptable as it stands.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/header.h"
#include "text/url.h"

namespace halyard {

// An HTTP token (RFC 9110 tchar): method names, header names, protocols.
bool is_token(std::string_view text);

// A header value holds no CR, LF or NUL: nothing in it can end the line.
bool is_header_value(std::string_view text);

// A method the Core sends: a token other than CONNECT (in any case), which
// would turn the connection into a tunnel.
bool validate_method(std::string_view method);

// An absolute URL with no control character (0x00-0x1F, 0x7F) and no
// leading or trailing space that parses, with scheme http or https
// (requests) or ws or wss and no fragment (WebSockets).  A space inside is
// percent-encoded on the way out, as browsers do (parse_url).
bool validate_request_url(std::string_view url);
// The same check, keeping the parse (made once per request: it is the
// dearest step of reading a request record).
std::optional<ParsedUrl> parse_request_url(std::string_view url);
bool validate_websocket_url(std::string_view url);

// One header line: the name a token, the value free of CR, LF and NUL.
bool validate_header(std::string_view name, std::string_view value);

// A Host value: a host name, an IPv4 address or a bracketed IPv6 address,
// with an optional port (1-65535), and nothing else.
bool validate_host(std::string_view value);

// WebSocket protocols: each a token, none given twice (exact comparison:
// protocol names are case-sensitive).  An empty list is valid.
bool validate_protocols(std::span<const std::string_view> protocols);

// A serialised origin: scheme "://" host [":" port], no user name, path,
// query or fragment, or the literal "null".
bool validate_origin(std::string_view origin);

// Header names the WebSocket handshake owns: Connection, Upgrade, every
// Sec-WebSocket-* name, and Content-Length and Transfer-Encoding (the
// handshake has no body).  A caller's header of these names is refused.
bool is_websocket_handshake_header(std::string_view name);

// The caller's headers of a request against what the Core itself sends:
// - Content-Length only once, in decimal, equal to the length of the body
//   the Core sends (no body counts as 0), never with a streamed body;
// - Transfer-Encoding only once, exactly "chunked", and only with a
//   streamed body;
// - Host only once and only as `validate_host` accepts it.
// `streamed` says the body goes out in chunks of unknown total length;
// otherwise `body_len` bytes are sent (0 when there is no body).
bool validate_request_headers(const HeaderList& headers, bool streamed, uint64_t body_len);

}  // namespace halyard
