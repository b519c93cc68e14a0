#include "module/core_error.h"

namespace vesper {

namespace {

#define VESPER_KIND_NAME(name, code) #name,
const char* const kKindNames[kErrorKindCount] = {VESPER_FAILURE_KINDS(VESPER_KIND_NAME)};
#undef VESPER_KIND_NAME

}  // namespace

CoreError CoreError::from_result(uint32_t result) {
    if (result >= HY_INVALID_ARGUMENT && result <= HY_PROFILE_UNSUPPORTED) return CoreError{static_cast<ErrorKind>(result - 1), 0};
    return CoreError{ErrorKind::Native, static_cast<int32_t>(result)};
}

CoreError CoreError::from_index(int index, uint32_t raw_code) {
    if (index < 0 || index >= kErrorKindCount) return CoreError{ErrorKind::Native, static_cast<int32_t>(raw_code)};
    const auto kind = static_cast<ErrorKind>(index);
    return CoreError{kind, kind == ErrorKind::Native ? static_cast<int32_t>(raw_code) : 0};
}

const char* kind_name(ErrorKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::string CoreError::text() const {
    if (kind == ErrorKind::Native) return "native error " + std::to_string(code);
    return kind_name(kind);
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
