// PanicException: how an internal fault reaches Python instead of crashing.
#pragma once

#include "module/python.h"

namespace vesper {

// Text of a fault that carries no message of its own.
inline constexpr const char* kGenericFaultText = "vesper_native36: internal fault";

// The exception class, derived from BaseException, made once per process.
// Borrowed; null with a Python error set if it cannot be created.
PyObject* panic_exception_type();

}  // namespace vesper
