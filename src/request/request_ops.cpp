// The blocking side of PyRequest: start, the head, the body, redirects,
// cancel.  Long waits give up the interpreter lock for their whole length;
// what they find is turned into Python values once it is taken back.
#include <chrono>
#include <limits>

#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"
#include "request/py_response.h"
#include "request/request_values.h"

namespace vesper {

namespace {

constexpr const char* kNotStarted = "request is not started";
constexpr const char* kBodyNotStarted = "request body stream is not started";
// A wait given no timeout waits a day.
constexpr Duration kDefaultWait{86'400, 0};

Failure request_failure(const RequestFailure& failure) { return Failure::runtime(failure.text()); }

Result<Duration> wait_timeout(const Args& args, size_t index) {
    std::optional<double> seconds;
    if (args.given(index)) {
        TRY_ASSIGN(seconds, args.convert(index, to_seconds));
    }
    TRY_ASSIGN(std::optional<Duration> timeout, check_timeout(seconds));
    return timeout.value_or(kDefaultWait);
}

// The head handed out: its pair goes to the body slot, the caller gets a
// PyResponse.
Result<PyRef> deliver_head(RequestContents& request, RunningPair pair, Head head) {
    std::optional<RunningPair> replaced = request.body_slot.put(std::move(pair));
    return new_response(head.status, std::move(head.block));
}

}  // namespace

Result<PyRef> request_start(PyObject* self, const Args&) {
    TRY_STATUS(start_into_slot(request_of(self)));
    return none();
}

Result<PyRef> request_start_stream(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    std::optional<RunningPair> pair;
    std::optional<Failure> start_failure;
    HeadTake taken;
    {
        GilRelease release;
        Result<RunningPair> started = start_request(request);
        if (started.ok()) {
            pair = std::move(started).value();
            taken = pair->state->wait_head();
        } else {
            start_failure = std::move(started).failure();
        }
    }
    if (start_failure) return std::move(*start_failure);
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    return deliver_head(request, std::move(*pair), std::get<Head>(std::move(taken)));
}

Result<PyRef> request_await_response(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    std::optional<RunningPair> pair = request.start_slot.take();
    if (!pair) return Failure::runtime(kNotStarted);
    HeadTake taken;
    {
        GilRelease release;
        taken = pair->state->wait_head();
    }
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    return deliver_head(request, std::move(*pair), std::get<Head>(std::move(taken)));
}

Result<PyRef> request_next_body(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    ChunkTake taken;
    bool has_pair = false;
    {
        GilRelease release;
        // The body slot stays locked for the whole read: one reader at a time.
        std::lock_guard lock(request.body_slot.mutex());
        if (auto& pair = request.body_slot.locked_value()) {
            has_pair = true;
            taken = pair->state->wait_chunk(pair->handle->core());
        }
    }
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    if (std::holds_alternative<EndOfBody>(taken)) return none();
    const Bytes& chunk = std::get<Bytes>(taken);
    return make_byte_list(chunk.data(), chunk.size());
}

Result<PyRef> request_read_body(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    Bytes body;
    std::optional<RequestFailure> failed;
    bool has_pair = false;
    {
        GilRelease release;
        std::lock_guard lock(request.body_slot.mutex());
        if (auto& pair = request.body_slot.locked_value()) {
            has_pair = true;
            for (;;) {
                ChunkTake taken = pair->state->wait_chunk(pair->handle->core());
                if (auto* chunk = std::get_if<Bytes>(&taken)) {
                    if (body.empty()) {
                        body = std::move(*chunk);
                    } else {
                        body.insert(body.end(), chunk->begin(), chunk->end());
                    }
                } else {
                    if (auto* failure = std::get_if<RequestFailure>(&taken)) failed = *failure;
                    break;
                }
            }
        }
    }
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (failed) return request_failure(*failed);
    return make_byte_list(body.data(), body.size());
}

Result<PyRef> request_resume_read(PyObject* self, const Args&) {
    TRY_STATUS(core_status(hy_request_resume_read(request_of(self).handle->core())));
    return none();
}

Result<PyRef> request_follow_redirect(PyObject* self, const Args&) {
    TRY_STATUS(core_status(hy_request_follow_redirect(request_of(self).handle->core())));
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
    TRY_ASSIGN(Duration timeout, wait_timeout(args, 0));
    RequestState& state = request_of(self).handle->state();
    RedirectTake taken;
    {
        GilRelease release;
        taken = state.wait_redirect(timeout.wait_millis());
    }
    if (auto* error = std::get_if<CoreError>(&taken)) return Failure::core(*error);
    if (auto* record = std::get_if<RedirectRecord>(&taken)) return redirect_tuple(*record);
    return none();
}

namespace {

// What one run of wait_manual found.
struct ManualOutcome {
    std::optional<RedirectRecord> redirect;
    std::optional<Head> head;
    std::optional<RequestFailure> head_failure;     // raised with the net error
    std::optional<CoreError> redirect_failure;      // raised with the kind alone
    bool deadline_overflow = false;
};

ManualOutcome wait_manual_released(RequestContents& request, Duration timeout) {
    ManualOutcome out;
    RequestState& state = request.handle->state();
    const Clock::time_point now = Clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now).count();
    if (timeout.secs >= static_cast<uint64_t>(room)) {
        out.deadline_overflow = true;
        return out;
    }
    const Clock::time_point deadline =
        now + std::chrono::seconds(timeout.secs) + std::chrono::nanoseconds(timeout.nanos);
    for (;;) {
        if (std::optional<RedirectRecord> record = state.take_redirect()) {
            out.redirect = std::move(record);
            return out;
        }
        HeadTake taken;
        {
            std::lock_guard lock(request.start_slot.mutex());
            if (auto& pair = request.start_slot.locked_value()) taken = pair->state->take_head();
        }
        if (!std::holds_alternative<std::monostate>(taken)) {
            std::optional<RunningPair> pair = request.start_slot.take();
            if (auto* failure = std::get_if<RequestFailure>(&taken)) {
                finish_request(request);
                out.head_failure = *failure;
            } else {
                if (pair) std::optional<RunningPair> replaced = request.body_slot.put(std::move(*pair));
                out.head = std::get<Head>(std::move(taken));
            }
            return out;
        }
        const Clock::time_point current = Clock::now();
        if (current >= deadline) return out;
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - current).count();
        RedirectTake waited = state.wait_redirect(std::min<uint64_t>(static_cast<uint64_t>(remaining), 50));
        if (auto* error = std::get_if<CoreError>(&waited)) {
            out.redirect_failure = *error;
            return out;
        }
        if (auto* record = std::get_if<RedirectRecord>(&waited)) {
            out.redirect = std::move(*record);
            return out;
        }
        // An ended request whose head went elsewhere brings nothing more:
        // answering now beats spinning until the deadline.
        if (state.is_finished()) {
            std::lock_guard lock(request.start_slot.mutex());
            if (!request.start_slot.locked_value()) return out;
        }
    }
}

}  // namespace

Result<PyRef> request_wait_manual(PyObject* self, const Args& args) {
    TRY_ASSIGN(Duration timeout, wait_timeout(args, 0));
    RequestContents& request = request_of(self);
    ManualOutcome out;
    {
        GilRelease release;
        out = wait_manual_released(request, timeout);
    }
    if (out.deadline_overflow) return Failure::panic("overflow when adding duration to instant");
    if (out.head_failure) return request_failure(*out.head_failure);
    if (out.redirect_failure) return Failure::core(*out.redirect_failure);
    if (out.redirect) {
        TRY_ASSIGN(PyRef redirect, redirect_tuple(*out.redirect));
        return make_tuple(std::move(redirect), none());
    }
    if (out.head) {
        TRY_ASSIGN(PyRef head, head_tuple(*out.head));
        return make_tuple(none(), std::move(head));
    }
    return make_tuple(none(), none());
}

Result<PyRef> request_cancel(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    const uint32_t result = hy_request_cancel(request.handle->core());
    // The Core reports the end through on_complete, which wakes every waiter.
    finish_request(request);
    TRY_STATUS(core_status(result));
    return none();
}

Result<PyRef> request_is_finished(PyObject* self, const Args&) {
    return boolean(request_of(self).handle->state().is_finished());
}

}  // namespace vesper
