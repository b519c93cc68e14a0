// PyRequest: one HTTP exchange as Python sees it.
#pragma once

#include <atomic>
#include <memory>

#include "async/event_hub.h"
#include "async/pending_flag.h"
#include "module/class_object.h"
#include "module/network_thread.h"
#include "module/slot.h"
#include "request/request_handle.h"

namespace vesper {

struct RequestContents {
    explicit RequestContents(std::shared_ptr<RequestHandle> h)
        : handle(std::move(h)), pending(std::make_shared<PendingFlag>()) {}

    std::shared_ptr<RequestHandle> handle;
    PendingFlagRef pending;
    Slot<RunningPair> start_slot;  // filled by start
    Slot<RunningPair> body_slot;   // filled once the head was handed out
    std::atomic<bool> final_reported{false};  // the terminal event went out
    // A terminal event taken from the state whose building failed (no
    // memory): the next poll hands it out, so it is never lost.  Touched
    // with the interpreter lock held only.
    std::optional<RequestFailure> unsent_failure;
    bool unsent_done = false;
    HubLink hub;                               // set by start_hub
};

inline RequestContents& request_of(PyObject* self) { return contents_of<RequestContents>(self); }

// Every blocking wait of a request starts with this: a RuntimeError on the
// request's own network thread, where the wait could never end
// (module/network_thread.h).
inline Status refuse_on_network_thread(const RequestContents& request) {
    return refuse_wait_on_network_thread(request.handle->state().network());
}

// The texts of a wait on a request that was not started, and of a body read
// before the head was handed out.
inline constexpr const char* kNotStarted = "request is not started";
inline constexpr const char* kBodyNotStarted = "request body stream is not started";

// Runs `read` on the running pair with the body slot held: one reader at a
// time, so concurrent body reads of one request (across all their slices)
// run one after another.  False when the head was not handed out yet.
// (SlotLock: a caller holding the interpreter lock gives it up if it must
// wait for the slot.)
template <class Read>
bool with_body(RequestContents& request, Read&& read) {
    SlotLock lock(request.body_slot.mutex());
    auto& pair = request.body_slot.locked_value();
    if (!pair) return false;
    read(*pair);
    return true;
}

// Starts the request: at most once, and again after a refused start.
// `for_wait`: the caller's thread waits on it next, and sends it itself
// when the Core lets it run the loop (hy_request_start_driven).
Result<RunningPair> start_request(RequestContents& request, bool for_wait = false);
// Starts the request and keeps its running pair in the start slot.
Status start_into_slot(RequestContents& request, bool for_wait = false);

// The finish step: the loop notifier or hub membership goes, and so does
// the start slot's pair (the body slot keeps its own).
void finish_request(RequestContents& request);

// A blocking wait ended by a signal handler's exception (Ctrl-C): the
// caller gave up on the request, so it is cancelled (the download stops,
// the connection is not reused), and the exception goes on.
Failure interrupted_wait(RequestContents& request, Failure failure);

// How events are made: the specified tuples with byte items as lists of
// ints, or RequestEvent records with bytes (module/event_records.h).
enum class EventForm { Lists, Bytes };
// How a polled request's body goes out once the head did: as body events,
// or kept in the request for take_available, with a READABLE event when a
// reader that found nothing may take again and ENDED at the end (the
// event hub).
enum class BodyDelivery { Events, Signals };
struct TakenEvent {
    PyRef value;
    bool terminal = false;  // the request's last event
};
// The next event of a polled request (none when nothing is ready).
Result<std::optional<TakenEvent>> take_request_event(EventForm form, BodyDelivery delivery,
                                                     RequestContents& request);

// The methods of PyRequest, defined by subsystem.
#define VESPER_REQUEST_METHOD(name) Result<PyRef> request_##name(PyObject* self, const Args& args)
VESPER_REQUEST_METHOD(start);
VESPER_REQUEST_METHOD(start_for_wait);
VESPER_REQUEST_METHOD(start_stream);
VESPER_REQUEST_METHOD(await_response);
VESPER_REQUEST_METHOD(next_body);
VESPER_REQUEST_METHOD(read_body);
VESPER_REQUEST_METHOD(resume_read);
VESPER_REQUEST_METHOD(follow_redirect);
VESPER_REQUEST_METHOD(take_redirects);
VESPER_REQUEST_METHOD(wait_redirect);
VESPER_REQUEST_METHOD(wait_manual);
VESPER_REQUEST_METHOD(cancel);
VESPER_REQUEST_METHOD(is_finished);
VESPER_REQUEST_METHOD(upload_write);
VESPER_REQUEST_METHOD(upload_finish);
VESPER_REQUEST_METHOD(upload_offer);
VESPER_REQUEST_METHOD(upload_held);
VESPER_REQUEST_METHOD(start_async);
VESPER_REQUEST_METHOD(attach_async);
VESPER_REQUEST_METHOD(detach_callback);
VESPER_REQUEST_METHOD(poll_event);
VESPER_REQUEST_METHOD(poll_events);
VESPER_REQUEST_METHOD(poll_events_bytes);
VESPER_REQUEST_METHOD(wait_response);
VESPER_REQUEST_METHOD(read_chunk);
VESPER_REQUEST_METHOD(read_all);
VESPER_REQUEST_METHOD(readinto);
VESPER_REQUEST_METHOD(read_exact);
VESPER_REQUEST_METHOD(read_some);
VESPER_REQUEST_METHOD(take_available);
VESPER_REQUEST_METHOD(start_hub);
VESPER_REQUEST_METHOD(wait_manual_bytes);
VESPER_REQUEST_METHOD(take_redirects_bytes);
VESPER_REQUEST_METHOD(record_sent_heads);
VESPER_REQUEST_METHOD(sent_heads_bytes);
VESPER_REQUEST_METHOD(set_upload_length);
VESPER_REQUEST_METHOD(set_max_redirects);
VESPER_REQUEST_METHOD(from_cache);
VESPER_REQUEST_METHOD(set_timeouts);
#undef VESPER_REQUEST_METHOD

// PyEngine.request: creates a request (nothing is sent yet).
Result<PyRef> engine_request(PyObject* engine, const Args& args);

}  // namespace vesper
