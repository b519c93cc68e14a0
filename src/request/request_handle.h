// RequestHandle: the module's owner of one Core request, and the running
// pairs that keep a started request's state and handle alive.
#pragma once

#include <atomic>
#include <memory>

#include "halyard.h"
#include "module/process_owner.h"
#include "request/request_state.h"

namespace vesper {

class RequestHandle {
public:
    RequestHandle(hy_request* core, Shared<RequestState> state) : core_(core), state_(std::move(state)) {}
    // Releases the Core request (also a running one: the Core still ends it
    // with on_complete).  A request never started gets no on_complete, so
    // the Core's context reference is dropped here instead.
    ~RequestHandle();
    RequestHandle(const RequestHandle&) = delete;
    RequestHandle& operator=(const RequestHandle&) = delete;

    hy_request* core() const { return core_; }
    RequestState& state() const { return *state_; }
    const Shared<RequestState>& shared_state() const { return state_; }
    std::atomic<bool>& started() { return started_; }
    const ProcessOwner& owner() const { return owner_; }

private:
    hy_request* core_;
    ProcessOwner owner_;
    Shared<RequestState> state_;
    std::atomic<bool> started_{false};
};

// A started request: its state and its handle, held together.
struct RunningPair {
    Shared<RequestState> state;
    std::shared_ptr<RequestHandle> handle;
};

// The callback record whose context is `state`.
RequestCallbacks request_callbacks(RequestState* state);

}  // namespace vesper
