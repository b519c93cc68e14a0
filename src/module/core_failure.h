// The Python side of a Core failure: the exception class `CoreFailure` (a
// RuntimeError whose text is the failure text and whose attributes carry
// the numbers: `kind`, `net_error`, `status`), the class of a wait refused
// on the engine's own network thread, and the table of kind names.  The
// package picks its exception class from these numbers, never from text.
#pragma once

#include <optional>
#include <string_view>

#include "module/failure.h"

namespace vesper {

// Borrowed; made once per process, null with a Python error set if that
// fails.
PyObject* core_failure_type();
PyObject* network_thread_error_type();

// A CoreFailure instance with `text` as its message: kind is the kind's
// code, net_error and status None when absent; timeout_phase the name of
// the phase that ran out (HY_TIMEOUT_PHASE_*: "connect", "read", "write",
// "pool", "total", "handshake"), None for none.
Result<PyRef> core_failure_value(const CoreError& error, std::optional<int32_t> net_error,
                                 std::optional<int32_t> status, std::string_view text,
                                 uint32_t timeout_phase = 0);

// {code: name} for every failure kind (failure_kinds.h).
Result<PyRef> failure_kind_names();

}  // namespace vesper
