// CoreError: the kind of a failure, and the texts Python callers see.
// Plain C++ (no interpreter): Core callbacks build these on Core threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "module/failure_kinds.h"

namespace vesper {

// A kind's value is its code (failure_kinds.h) minus one.
enum class ErrorKind : uint8_t {
#define VESPER_KIND_ENUM(name, code) name = (code)-1,
    VESPER_FAILURE_KINDS(VESPER_KIND_ENUM)
#undef VESPER_KIND_ENUM
};

#define VESPER_KIND_COUNT(name, code) +1
inline constexpr int kErrorKindCount = 0 VESPER_FAILURE_KINDS(VESPER_KIND_COUNT);
#undef VESPER_KIND_COUNT
static_assert(static_cast<int>(ErrorKind::Native) == kErrorKindCount - 1, "failure kind codes are 1, 2, 3, ...");

// The name of a kind ("Timeout").
const char* kind_name(ErrorKind kind);

struct CoreError {
    ErrorKind kind;
    int32_t code = 0;  // the raw result code; meaningful for Native only

    // Maps a result code other than 0: 1..15 name a kind, anything else
    // (a negative code read as unsigned included) is Native.
    static CoreError from_result(uint32_t result);
    // The kind as stored in a request outcome (0..17), with the raw code.
    static CoreError from_index(int index, uint32_t raw_code);

    // "Timeout", or "native error -3".
    std::string text() const;
    // The kind's code: the Core's result code, or the module's own (failure_kinds.h).
    int code_of_kind() const { return static_cast<int>(kind) + 1; }
};

// The failure of a create call that answered `result` (HY_OK with no
// handle counts as InitializationFailed).
inline CoreError creation_error(uint32_t result) {
    return result != 0 ? CoreError::from_result(result) : CoreError{ErrorKind::InitializationFailed};
}

// nullopt for HY_OK, else the failure.
std::optional<CoreError> check_result(uint32_t result);

// "Timeout (Chromium net error -7)"
std::string request_failure_text(const CoreError& error, int32_t net_error);
// "Network (Chromium net error -105, response 0)"
std::string websocket_failure_text(const CoreError& error, int32_t net_error, int32_t response);

}  // namespace vesper
