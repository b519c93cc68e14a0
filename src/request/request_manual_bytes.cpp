// The bytes side of manual redirects: wait_manual_bytes and
// take_redirects_bytes.  The wait goes in interruptible slices (Ctrl-C ends
// it with KeyboardInterrupt) with an optional timeout (TimeoutError), and a
// failed request raises its whole failure text, network error included.
#include "module/sliced_wait.h"
#include "request/py_request.h"
#include "request/request_values.h"

namespace vesper {

namespace {

// What a wait for a redirect or the head found.
struct ManualFound {
    std::optional<RedirectRecord> redirect;
    std::optional<Head> head;
    std::optional<RequestFailure> failure;
    bool not_started = false;
    bool failure_seen_before = false;  // the failure of a request whose head wait already ended
    bool nothing_more = false;  // its head went to another reader

    // Something to hand back, a request not started aside.
    bool found() const { return redirect || head || failure || nothing_more; }
    bool any() const { return found() || not_started; }
};

// One look (wait_ms 0) or one wait of at most `wait_ms` for a redirect or
// the head, first match wins: a queued redirect, then the head.  The Core
// reports every redirect before the head, so once the head is gone nothing
// more comes.
ManualFound manual_step(RequestContents& request, uint64_t wait_ms) {
    ManualFound found;
    RequestState& state = request.handle->state();
    if (std::optional<RedirectRecord> record = state.take_redirect()) {
        found.redirect = std::move(record);
        return found;
    }
    HeadTake taken;
    {
        std::lock_guard lock(request.start_slot.mutex());
        auto& pair = request.start_slot.locked_value();
        if (!pair) {
            // Never started, failed (raised again, whole text), or the head
            // went to another reader.
            // (A request cancelled before its start has ended: its failure
            // answers.)
            found.not_started = !request.handle->started() && !state.is_finished();
            if (!found.not_started) {
                found.failure = state.failure();
                found.failure_seen_before = found.failure.has_value();
                found.nothing_more = !found.failure;
                return found;
            }
        } else {
            // A head already handed out (to a poll) answers as a failure
            // rather than leave this wait looking for ever.
            taken = pair->state->wait_head_for(nullptr, 0);
        }
    }
    // Not started: only a start on another thread can bring something, and
    // its callbacks wake the wait below.
    if (!std::holds_alternative<std::monostate>(taken)) {
        std::optional<RunningPair> pair = request.start_slot.take();
        if (auto* failure = std::get_if<RequestFailure>(&taken)) {
            finish_request(request);
            found.failure = *failure;
        } else {
            if (pair) std::optional<RunningPair> replaced = request.body_slot.put(std::move(*pair));
            found.head = std::get<Head>(std::move(taken));
        }
        return found;
    }
    if (wait_ms == 0) return found;
    // Wakes on a redirect, the head, a chunk or the end; a failure is
    // answered by the next look, from the head, with its network error.
    RedirectTake waited = state.wait_redirect(request.handle->core(), wait_ms);
    if (auto* record = std::get_if<RedirectRecord>(&waited)) found.redirect = std::move(*record);
    return found;
}

}  // namespace

Result<PyRef> request_wait_manual_bytes(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    ManualFound found;
    const WaitDeadline deadline(timeout);
    Result<bool> waited = wait_in_slices(deadline, [&](uint64_t ms) {
        found = manual_step(request, ms);
        if (found.any()) return true;
        // A slice that found nothing after its wait takes one more look,
        // so a request that ended meanwhile is answered now.
        if (ms != 0) found = manual_step(request, 0);
        return found.any();
    });
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (!waited.value()) return Failure::timeout("timed out waiting for a redirect or the response head");
    if (found.not_started) return Failure::runtime(kNotStarted);
    if (found.failure) return request_failure(*found.failure);
    if (found.redirect) {
        TRY_ASSIGN(PyRef redirect, redirect_tuple(*found.redirect, EventForm::Bytes));
        return make_tuple(std::move(redirect), none());
    }
    if (found.head) {
        TRY_ASSIGN(PyRef head, head_tuple(*found.head, EventForm::Bytes));
        return make_tuple(none(), std::move(head));
    }
    return make_tuple(none(), none());
}

// wait_manual: as wait_manual_bytes with the list forms; a timeout (None: a
// day) answers (None, None), and so does a request whose head went
// elsewhere, at once (nothing more can come).
Result<PyRef> request_wait_manual(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    if (!timeout) timeout = Duration{86'400, 0};
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    // A request not started yet may be started by another thread meanwhile:
    // it is waited for like any other, up to the timeout.
    ManualFound found;
    const auto answered = [&] { return found.found(); };
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        found = manual_step(request, ms);
        if (answered()) return true;
        if (ms != 0) found = manual_step(request, 0);
        return answered();
    });
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    // A failure already raised by a head wait is reported again as a
    // redirect wait reports it: by its kind alone.
    if (found.failure) {
        return found.failure_seen_before ? Failure::core(found.failure->error) : request_failure(*found.failure);
    }
    if (found.redirect) {
        TRY_ASSIGN(PyRef redirect, redirect_tuple(*found.redirect));
        return make_tuple(std::move(redirect), none());
    }
    if (found.head) {
        TRY_ASSIGN(PyRef head, head_tuple(*found.head));
        return make_tuple(none(), std::move(head));
    }
    return make_tuple(none(), none());
}

Result<PyRef> request_take_redirects_bytes(PyObject* self, const Args&) {
    RequestState& state = request_of(self).handle->state();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return Failure::fetch();
    while (std::optional<RedirectRecord> record = state.take_redirect()) {
        TRY_ASSIGN(PyRef item, redirect_tuple(*record, EventForm::Bytes));
        if (PyList_Append(list.get(), item.get()) < 0) return Failure::fetch();
    }
    return list;
}

}  // namespace vesper
