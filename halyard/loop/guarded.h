// Network-thread work that no C++ failure may escape from, into curl,
// wslay or the loop: a failure becomes a Cause the caller ends its request
// or connection with.
#pragma once

#include <cxxabi.h>

#include <new>

#include "transport/error_map.h"

namespace halyard {

// Runs `body`; true when it returned, false when it failed and
// `on_failure` was given the Cause (OutOfMemory or Internal).  Not
// noexcept on purpose: unwinding that ends the thread (CPython does so to a
// thread that takes the interpreter lock while the interpreter exits)
// passes through.
template <typename Body, typename OnFailure>
bool run_guarded(Body&& body, OnFailure&& on_failure) {
    try {
        body();
        return true;
    } catch (const abi::__forced_unwind&) {
        throw;  // the thread is being ended: let it unwind
    } catch (const std::bad_alloc&) {
        on_failure(Cause::OutOfMemory);
    } catch (...) {
        on_failure(Cause::Internal);
    }
    return false;
}

}  // namespace halyard
