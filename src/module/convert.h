// The named conversions every Python argument passes through.
//
// Each takes a borrowed object (never null: absent arguments are handled by
// the caller, which knows the default) and returns an owned C++ value or a
// Failure.  The call frame prefixes a TypeError with the parameter name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/failure.h"

namespace vesper {

using Bytes = std::vector<uint8_t>;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A duration of whole seconds plus nanoseconds.
struct Duration {
    uint64_t secs = 0;
    uint32_t nanos = 0;

    // Whole milliseconds, truncated, saturating at 2^64-1 (Core records).
    uint64_t millis() const;
    // Milliseconds for a wait or a Core record: any fraction rounds up, so
    // a timeout under a millisecond never becomes 0 ("no timeout").
    uint64_t wait_millis() const;
};

Result<std::string> to_text(PyObject* object);
// The str's UTF-8 as a bytes object, read in place (to_text copies it out).
Result<PyRef> to_text_bytes(PyObject* object);
// None gives nullopt.
Result<std::optional<std::string>> to_optional_text(PyObject* object);
// Exactly True or False.
Result<bool> to_flag(PyObject* object);
Result<Bytes> to_bytes(PyObject* object);
Result<std::vector<std::string>> to_text_list(PyObject* object);
Result<HeaderList> to_header_pairs(PyObject* object);
Result<uint8_t> to_byte(PyObject* object);
Result<uint16_t> to_port(PyObject* object);
Result<uint64_t> to_count(PyObject* object);
// None gives nullopt; otherwise whatever PyFloat_AsDouble accepts.
Result<std::optional<double>> to_seconds(PyObject* object);
// The timeout check, run by operation bodies after all conversions.
Result<std::optional<Duration>> check_timeout(std::optional<double> seconds);

}  // namespace vesper
