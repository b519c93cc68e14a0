// How the Core keeps C++ exceptions out of C frames.
//
// Every entry from C (a curl or wslay callback, a step of the network loop,
// a command) runs its body through contain(): an exception becomes a Fault
// handed to the caller's handler, which records it as a value and answers
// with the error code its C caller expects.
//
// The one exception let through is the unwinding that ends a thread: with
// glibc, pthread_exit and thread cancellation unwind the stack with
// abi::__forced_unwind, and CPython ends a thread that takes the interpreter
// lock while the interpreter exits this way, from inside one of the
// module's callbacks.  Swallowing it aborts the process, so it is rethrown.
// Other C++ runtimes (MSVC, libc++) have no such unwinding: there the
// clause is left out and everything is contained.
#pragma once

#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define HALYARD_FORCED_UNWIND 1
#else
#define HALYARD_FORCED_UNWIND 0
#endif

namespace halyard {

enum class Fault { OutOfMemory, Internal };

// Runs body(); on an exception, returns on_fault(Fault), converted to
// body's type (both void, or on_fault's answer stands for body's).
// A forced unwind carries no C++ object, so its handler binds a null
// reference, which UBSan's null check would report as an error; the
// handler only rethrows it.
template <typename Body, typename OnFault>
#if HALYARD_FORCED_UNWIND && defined(__GNUC__)
__attribute__((no_sanitize("null")))
#endif
auto contain(Body&& body, OnFault&& on_fault) -> decltype(body()) {
    try {
        return body();
#if HALYARD_FORCED_UNWIND
    } catch (const abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::bad_alloc&) {
        return on_fault(Fault::OutOfMemory);
    } catch (...) {
        return on_fault(Fault::Internal);
    }
}

}  // namespace halyard
