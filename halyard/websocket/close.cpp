#include "websocket/close.h"

#include "text/utf8.h"

namespace halyard {

bool is_caller_close_code(uint16_t code) { return code == 1000 || (code >= 3000 && code <= 4999); }

bool is_caller_close_reason(const char* reason, uint64_t len) {
    if (len == 0) return true;
    if (reason == nullptr || len > kMaxCloseReason) return false;
    return is_valid_utf8(reinterpret_cast<const uint8_t*>(reason), static_cast<size_t>(len));
}

bool is_valid_received_close_code(uint16_t code) {
    if (code >= 1000 && code <= 1003) return true;
    if (code >= 1007 && code <= 1014) return true;
    return code >= 3000 && code <= 4999;
}

std::optional<CloseFrame> parse_close_payload(const uint8_t* data, size_t len) {
    CloseFrame frame;
    if (len == 0) return frame;
    if (len == 1 || len - 2 > kMaxCloseReason) return std::nullopt;
    frame.code = static_cast<uint16_t>((data[0] << 8) | data[1]);
    if (!is_valid_received_close_code(frame.code)) return std::nullopt;
    if (!is_valid_utf8(data + 2, len - 2)) return std::nullopt;
    frame.reason.assign(reinterpret_cast<const char*>(data + 2), len - 2);
    return frame;
}

}  // namespace halyard
