// UTF-8 validation of WebSocket text messages and close reasons.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halyard {

// True when `data` is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence at the end.
bool is_valid_utf8(const uint8_t* data, size_t len);

}  // namespace halyard
