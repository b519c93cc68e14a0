// RequestHandle: the module's owner of one Core request, and the running
// pairs that keep a started request's state and handle alive.
#pragma once

#include <memory>

#include "halyard.h"
#include "module/core_handle.h"
#include "request/request_state.h"

namespace vesper {

using RequestHandle = CoreHandle<hy_request, RequestState, hy_request_start, hy_request_release>;

// A started request: its state and its handle, held together.
struct RunningPair {
    Shared<RequestState> state;
    std::shared_ptr<RequestHandle> handle;
};

// The callback record whose context is `state`.
RequestCallbacks request_callbacks(RequestState* state);

}  // namespace vesper
