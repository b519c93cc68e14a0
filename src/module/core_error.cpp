#include "module/core_error.h"

namespace vesper {

namespace {

const char* const kKindNames[kErrorKindCount] = {
    "InvalidArgument", "UnsupportedAbi", "OutOfMemory",   "InitializationFailed",
    "InvalidState",    "Timeout",        "Canceled",      "Network",
    "Tls",             "Proxy",          "Protocol",      "Redirect",
    "CacheMiss",       "ProfileConflict", "ProfileUnsupported", "CallbackPanic",
    "BufferLimit",     "Native",
};

}  // namespace

CoreError CoreError::from_result(uint32_t result) {
    if (result >= 1 && result <= 15) return CoreError{static_cast<ErrorKind>(result - 1), 0};
    return CoreError{ErrorKind::Native, static_cast<int32_t>(result)};
}

CoreError CoreError::from_index(int index, uint32_t raw_code) {
    if (index < 0 || index >= kErrorKindCount) return CoreError{ErrorKind::Native, static_cast<int32_t>(raw_code)};
    const auto kind = static_cast<ErrorKind>(index);
    return CoreError{kind, kind == ErrorKind::Native ? static_cast<int32_t>(raw_code) : 0};
}

std::string CoreError::text() const {
    if (kind == ErrorKind::Native) return "native error " + std::to_string(code);
    return kKindNames[static_cast<int>(kind)];
}

std::optional<CoreError> check_result(uint32_t result) {
    if (result == 0) return std::nullopt;
    return CoreError::from_result(result);
}

std::string request_failure_text(const CoreError& error, int32_t net_error) {
    return error.text() + " (Chromium net error " + std::to_string(net_error) + ")";
}

std::string websocket_failure_text(const CoreError& error, int32_t net_error, int32_t response) {
    return error.text() + " (Chromium net error " + std::to_string(net_error) + ", response " +
           std::to_string(response) + ")";
}

}  // namespace vesper
