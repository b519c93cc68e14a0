// Close codes and close frames: what a caller may send, what a peer sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace halyard {

// Longest close reason: a control frame carries at most 125 bytes, two of
// which are the code.
inline constexpr size_t kMaxCloseReason = 123;

// The code reported when a peer's close frame carried no code.
inline constexpr uint16_t kNoStatusCode = 1005;

// hy_websocket_close's rule, as browsers apply it to close(): the code is
// 1000 or 3000..4999, the reason at most 123 bytes of valid UTF-8.
bool is_caller_close_code(uint16_t code);
bool is_caller_close_reason(const char* reason, uint64_t len);

// A code a peer may put in a close frame (RFC 6455 7.4): 1000..1003,
// 1007..1011 (1012..1014 as registered since), 3000..4999.
bool is_valid_received_close_code(uint16_t code);

struct CloseFrame {
    uint16_t code = kNoStatusCode;
    std::string reason;
};

// The code and reason of a received close frame's payload.  An empty
// payload gives 1005 and no reason; a one-byte payload, a code that may not
// be sent, or a reason that is not UTF-8 gives nothing.
std::optional<CloseFrame> parse_close_payload(const uint8_t* data, size_t len);

}  // namespace halyard
