// CoreHandle: the module's owner of one Core object (a request or a
// WebSocket) and of the state its callbacks reach through their context.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "module/core_error.h"
#include "module/failure.h"
#include "module/process_owner.h"
#include "module/python.h"
#include "module/shared.h"

namespace vesper {

// `Start` and `Release` are the object's hy_*_start and hy_*_release.
template <typename Core, typename State, uint32_t (*Start)(Core*), void (*Release)(Core*)>
class CoreHandle {
public:
    CoreHandle(Core* core, Shared<State> state) : core_(core), state_(std::move(state)) {}
    // Releases the Core object (also a running one: the Core still ends it
    // with its terminal callback).  One never started gets no terminal
    // callback, so the Core's context reference is dropped here instead.
    ~CoreHandle() {
        // A copy in a forked child is left alone (see ProcessOwner).
        if (!owner_.here()) return;
        Release(core_);
        if (!started_.load()) state_->drop_context_reference();
    }
    CoreHandle(const CoreHandle&) = delete;
    CoreHandle& operator=(const CoreHandle&) = delete;

    // The state for a new Core object, with two counts: one for the handle,
    // one for the Core's callback context.
    static Shared<State> new_state() {
        Shared<State> state = make_shared_ref<State>();
        state->retain();
        return state;
    }

    // The handle of what hy_*_create answered `result` and `core` for; on
    // failure the context count the Core never took is dropped.
    static Result<std::shared_ptr<CoreHandle>> created(uint32_t result, Core* core, Shared<State> state) {
        if (result != HY_OK || core == nullptr) {
            state->drop_context_reference();
            return Failure::core(creation_error(result));
        }
        // The Core object exists now: a failed allocation of its owner must
        // not leak it (nor the context reference it will never give back).
        try {
            return std::make_shared<CoreHandle>(core, std::move(state));
        } catch (const std::bad_alloc&) {
            Release(core);
            state->drop_context_reference();
            PyErr_NoMemory();
            return Failure::fetch();
        }
    }

    // Starts the Core object: at most once, and again after a refused start.
    // `start` replaces the specified start (a Core extension's).
    Status start(uint32_t (*start)(Core*) = nullptr) {
        TRY_STATUS(check_process(owner_));
        if (started_.exchange(true)) return Failure::core(CoreError{ErrorKind::InvalidState});
        if (auto error = check_result(start != nullptr ? start(core_) : Start(core_))) {
            started_.store(false);
            return Failure::core(*error);
        }
        return ok_status();
    }
    bool started() const { return started_.load(); }

    Core* core() const { return core_; }
    const ProcessOwner& owner() const { return owner_; }
    State& state() const { return *state_; }
    const Shared<State>& shared_state() const { return state_; }

private:
    Core* core_;
    ProcessOwner owner_;
    Shared<State> state_;
    std::atomic<bool> started_{false};
};

}  // namespace vesper
