// The call frame every entry from Python into the module runs inside.
#pragma once

#include <cxxabi.h>

#include <exception>

#include "module/failure.h"
#include "module/gil.h"
#include "module/panic.h"

namespace vesper {

// Marks this thread as inside a module call that holds the interpreter lock
// and applies reference drops queued by Core threads.
class CallFrame {
public:
    CallFrame() { drain_pending_decrements(); }
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

private:
    GilHeldScope gil_;
};

// Runs `body` (returning Result<PyRef>) inside a call frame and hands the
// result to the interpreter: a new reference, or null with exactly one
// exception set.  No C++ exception leaves this function; only the unwind
// that ends a thread in a finalizing interpreter passes through.
template <class Body>
PyObject* python_boundary(Body&& body) {
    CallFrame frame;
    try {
        Result<PyRef> result = body();
        if (result.ok()) return std::move(result).value().release();
        std::move(result).failure().raise();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& fault) {
        Failure::panic(fault.what()).raise();
    } catch (...) {
        Failure::panic(kGenericFaultText).raise();
    }
    return nullptr;
}

}  // namespace vesper
