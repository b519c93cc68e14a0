// The blocking side of PyRequest: start, the head, the body, redirects,
// cancel.  Every wait gives up the interpreter lock in slices and runs the
// signal handlers between them (Ctrl-C raises KeyboardInterrupt and cancels
// the request), takes an optional timeout (TimeoutError; none: no limit)
// and ends at once when the request can bring nothing more.
#include <chrono>
#include <limits>

#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"
#include "request/py_response.h"
#include "module/sliced_wait.h"
#include "request/request_values.h"

namespace vesper {

namespace {

// The head handed out: its pair goes to the body slot, the caller gets a
// PyResponse.
Result<PyRef> deliver_head(RequestContents& request, RunningPair pair, Head head) {
    std::optional<RunningPair> replaced = request.body_slot.put(std::move(pair));
    return new_response(head.status, std::move(head.block));
}

constexpr const char* kDeferredRedirect =
    "the response is a redirect held for follow_redirect (allow_redirects=False): "
    "call wait_manual() and follow_redirect() to go on";

// Waits for the head of `pair` in interruptible slices.  It also ends when
// the request waits for follow_redirect, which a wait for the head alone
// would never see (`deferred`).
Result<bool> wait_head_sliced(const RunningPair& pair, const std::optional<Duration>& timeout, HeadTake& taken,
                              bool& deferred) {
    return wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        taken = pair.state->wait_head_for(nullptr, 0);
        if (!std::holds_alternative<std::monostate>(taken)) return true;
        deferred = pair.state->redirect_deferred();
        if (deferred) return true;
        if (ms == 0) return false;
        taken = pair.state->wait_head_for(pair.handle->core(), ms);
        return !std::holds_alternative<std::monostate>(taken);
    });
}

// The end of a head wait: the head, a failure, or the pair back in the
// start slot for a later wait (timeout, deferred redirect).
Result<PyRef> finish_head_wait(RequestContents& request, RunningPair pair, Result<bool> waited, HeadTake taken,
                               bool deferred) {
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (!waited.value() || deferred) {
        std::optional<RunningPair> replaced = request.start_slot.put(std::move(pair));
        if (deferred) return Failure::runtime(kDeferredRedirect);
        return Failure::timeout("timed out waiting for the response head");
    }
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    return deliver_head(request, std::move(pair), std::get<Head>(std::move(taken)));
}

}  // namespace

Result<PyRef> request_start(PyObject* self, const Args&) {
    TRY_STATUS(start_into_slot(request_of(self)));
    return none();
}

Result<PyRef> request_start_for_wait(PyObject* self, const Args&) {
    TRY_STATUS(start_into_slot(request_of(self), true));
    return none();
}

Result<PyRef> request_start_stream(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    std::optional<RunningPair> pair;
    {
        std::optional<Failure> start_failure;
        {
            GilRelease release;
            Result<RunningPair> started = start_request(request, true);
            if (started.ok()) {
                pair = std::move(started).value();
            } else {
                start_failure = std::move(started).failure();
            }
        }
        if (start_failure) return std::move(*start_failure);
    }
    HeadTake taken;
    bool deferred = false;
    Result<bool> waited = wait_head_sliced(*pair, timeout, taken, deferred);
    return finish_head_wait(request, std::move(*pair), std::move(waited), std::move(taken), deferred);
}

Result<PyRef> request_await_response(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    std::optional<RunningPair> pair = request.start_slot.take();
    if (!pair) return Failure::runtime(kNotStarted);
    HeadTake taken;
    bool deferred = false;
    Result<bool> waited = wait_head_sliced(*pair, timeout, taken, deferred);
    return finish_head_wait(request, std::move(*pair), std::move(waited), std::move(taken), deferred);
}

Result<PyRef> request_next_body(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    ChunkTake taken;
    Result<bool> waited = true;
    const bool has_pair = with_body(request, [&](RunningPair& pair) {
        waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
            taken = pair.state->wait_chunk_for(pair.handle->core(), ms);
            return !std::holds_alternative<std::monostate>(taken);
        });
    });
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (!waited.value()) return Failure::timeout("timed out waiting for body data");
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    if (std::holds_alternative<EndOfBody>(taken)) return none();
    const Bytes& chunk = std::get<Bytes>(taken);
    return make_byte_list(chunk.data(), chunk.size());
}

Result<PyRef> request_read_body(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    Bytes body;
    std::optional<RequestFailure> failed;
    Result<bool> waited = true;
    const bool has_pair = with_body(request, [&](RunningPair& pair) {
        waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
            // Takes what is queued, then waits once per slice.
            bool waited_once = false;
            for (;;) {
                ChunkTake taken = pair.state->wait_chunk_for(pair.handle->core(), 0);
                if (auto* chunk = std::get_if<Bytes>(&taken)) {
                    if (body.empty()) {
                        body = std::move(*chunk);
                    } else {
                        body.insert(body.end(), chunk->begin(), chunk->end());
                    }
                    continue;
                }
                if (auto* failure = std::get_if<RequestFailure>(&taken)) failed = *failure;
                if (!std::holds_alternative<std::monostate>(taken)) return true;
                if (waited_once || ms == 0) return false;
                waited_once = true;
                pair.state->wait_body_for(pair.handle->core(), ms);
            }
        });
        // Out of time: what was gathered goes back for the next read.
        if (waited.ok() && !waited.value() && !body.empty()) pair.state->unread(std::move(body));
    });
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (!waited.value()) return Failure::timeout("timed out waiting for the end of the body");
    if (failed) return request_failure(*failed);
    return make_byte_list(body.data(), body.size());
}

Result<PyRef> request_resume_read(PyObject* self, const Args&) {
    TRY_STATUS(core_status(hy_request_resume_read(request_of(self).handle->core())));
    return none();
}

Result<PyRef> request_follow_redirect(PyObject* self, const Args&) {
    RequestHandle& handle = *request_of(self).handle;
    TRY_STATUS(core_status(hy_request_follow_redirect(handle.core())));
    handle.state().redirect_followed();
    return none();
}

Result<PyRef> request_take_redirects(PyObject* self, const Args&) {
    RequestState& state = request_of(self).handle->state();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return Failure::fetch();
    while (std::optional<RedirectRecord> record = state.take_redirect()) {
        TRY_ASSIGN(PyRef item, redirect_tuple(*record));
        if (PyList_Append(list.get(), item.get()) < 0) return Failure::fetch();
    }
    return list;
}

Result<PyRef> request_wait_redirect(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    RequestState& state = request.handle->state();
    // One wait, in slices for Ctrl-C: it ends with a redirect, or with
    // nothing at the first wake-up of any other kind (the head, a chunk),
    // or when the timeout (None: a day) runs out.
    if (!timeout) timeout = Duration{86'400, 0};
    RedirectTake taken;
    const uint64_t since = state.wakes();
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        RedirectWait slice = state.wait_redirect_since(request.handle->core(), since, ms);
        taken = std::move(slice.taken);
        return slice.ended;
    });
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (auto* error = std::get_if<CoreError>(&taken)) return Failure::core(*error);
    if (auto* record = std::get_if<RedirectRecord>(&taken)) return redirect_tuple(*record);
    return none();
}

Result<PyRef> request_cancel(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    const uint32_t result = hy_request_cancel(request.handle->core());
    // A request never started gets no on_complete: its state ends here, so
    // every wait on it ends at once.
    if (!request.handle->started()) request.handle->state().cancel_unstarted();
    // The Core reports the end through on_complete, which wakes every waiter.
    finish_request(request);
    TRY_STATUS(core_status(result));
    return none();
}

Result<PyRef> request_is_finished(PyObject* self, const Args&) {
    return boolean(request_of(self).handle->state().is_finished());
}

}  // namespace vesper
