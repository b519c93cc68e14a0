// PyRequest.poll_event / poll_events: draining a request's events without
// ever waiting.
//
// Event tuples: (kind, number, first bytes, second bytes, text), the byte
// fields as lists of ints (poll_events) or bytes (poll_events_bytes, hubs);
// an "error" event's text is a CoreFailure in the bytes form.  A request's life ends in exactly one "done" or
// "error" event.
#include "module/pytext.h"
#include "request/py_request.h"
#include "request/request_values.h"

namespace vesper {

namespace {

constexpr uint64_t kDefaultLimit = 64;

enum class EventKind { Redirect, Response, Body, Done, Error };

// The kind texts, made once and shared by every event.
Result<PyRef> kind_text(EventKind kind) {
    static PyObject* texts[5] = {};
    static const char* const names[5] = {"redirect", "response", "body", "done", "error"};
    const int i = static_cast<int>(kind);
    if (texts[i] == nullptr) {
        texts[i] = PyUnicode_InternFromString(names[i]);
        if (texts[i] == nullptr) return Failure::fetch();
    }
    return PyRef::borrow(texts[i]);
}

// The byte items as lists of ints (poll_events) or as bytes.
Result<PyRef> byte_item(EventForm form, const uint8_t* data, size_t len) {
    if (form == EventForm::Bytes) return make_bytes(data, len);
    return make_byte_list(data, len);
}

Result<PyRef> event(EventForm form, EventKind kind, long long number, const uint8_t* first, size_t first_len,
                    const uint8_t* second, size_t second_len, PyRef text) {
    TRY_ASSIGN(PyRef kind_ref, kind_text(kind));
    TRY_ASSIGN(PyRef number_ref, make_int(number));
    TRY_ASSIGN(PyRef first_ref, byte_item(form, first, first_len));
    TRY_ASSIGN(PyRef second_ref, byte_item(form, second, second_len));
    return make_tuple(std::move(kind_ref), std::move(number_ref), std::move(first_ref), std::move(second_ref),
                      std::move(text));
}

Result<PyRef> redirect_event(EventForm form, const RedirectRecord& r) {
    TRY_ASSIGN(PyRef method, make_str(r.method));
    const auto* location = reinterpret_cast<const uint8_t*>(r.location.data());
    return event(form, EventKind::Redirect, r.status, r.raw.data(), r.raw.size(), location, r.location.size(),
                 std::move(method));
}

// The one terminal event, or nothing if it went out already.  The event is
// built before it is marked as reported: a failure to build it leaves it to
// the next poll instead of losing it (an asyncio reader would wait for ever).
Result<std::optional<PyRef>> terminal_event(EventForm form, RequestContents& request, const RequestFailure* failure) {
    if (request.final_reported.load()) return std::optional<PyRef>();
    const auto build = [&]() -> Result<PyRef> {
        if (failure == nullptr) return event(form, EventKind::Done, 0, nullptr, 0, nullptr, 0, none());
        // The bytes form carries the failure as a CoreFailure value (its
        // str() is the same text), the list form the text.
        TRY_ASSIGN(PyRef text, form == EventForm::Bytes ? request_failure_value(*failure) : make_str(failure->text()));
        return event(form, EventKind::Error, 0, nullptr, 0, nullptr, 0, std::move(text));
    };
    Result<PyRef> made = build();
    if (!made.ok()) {
        // The state gave this end out once: keep it for the next poll.
        if (failure != nullptr) {
            request.unsent_failure = *failure;
        } else {
            request.unsent_done = true;
        }
        return std::move(made).failure();
    }
    PyRef built = std::move(made).value();
    // Building may run Python code (a collection) that polls this request.
    if (request.final_reported.exchange(true)) return std::optional<PyRef>();
    finish_request(request);
    return std::optional<PyRef>(std::move(built));
}

// Takes the next event, first match wins: a redirect, the head, a body
// chunk, the end.
Result<std::optional<PyRef>> take_event(EventForm form, RequestContents& request) {
    if (request.unsent_failure) {
        const RequestFailure failure = *std::exchange(request.unsent_failure, std::nullopt);
        return terminal_event(form, request, &failure);
    }
    if (std::exchange(request.unsent_done, false)) return terminal_event(form, request, nullptr);
    RequestState& state = request.handle->state();
    if (std::optional<RedirectRecord> record = state.take_redirect()) {
        TRY_ASSIGN(PyRef redirect, redirect_event(form, *record));
        return std::optional<PyRef>(std::move(redirect));
    }
    std::optional<RunningPair> started = request.start_slot.peek();
    if (started) {
        HeadTake taken = started->state->take_head();
        if (auto* head = std::get_if<Head>(&taken)) {
            // "body" events follow a handed-out "response" only.
            std::optional<RunningPair> replaced = request.body_slot.put(std::move(*started));
            TRY_ASSIGN(PyRef response, event(form, EventKind::Response, head->status, head->block.data(),
                                             head->block.size(), nullptr, 0, none()));
            return std::optional<PyRef>(std::move(response));
        }
        if (auto* failure = std::get_if<RequestFailure>(&taken)) return terminal_event(form, request, failure);
    }
    std::optional<RunningPair> body = request.body_slot.peek();
    if (!body) return std::optional<PyRef>();
    ChunkTake taken = body->state->take_chunk(body->handle->core());
    if (auto* chunk = std::get_if<Bytes>(&taken)) {
        TRY_ASSIGN(PyRef data, event(form, EventKind::Body, 0, nullptr, 0, chunk->data(), chunk->size(), none()));
        return std::optional<PyRef>(std::move(data));
    }
    if (std::holds_alternative<EndOfBody>(taken)) return terminal_event(form, request, nullptr);
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return terminal_event(form, request, failure);
    return std::optional<PyRef>();
}

bool is_terminal(PyObject* event_tuple) {
    PyObject* kind = PyTuple_GetItem(event_tuple, 0);
    return PyUnicode_CompareWithASCIIString(kind, "done") == 0 || PyUnicode_CompareWithASCIIString(kind, "error") == 0;
}

}  // namespace

Result<std::optional<PyRef>> take_request_event(EventForm form, RequestContents& request) {
    return take_event(form, request);
}

bool is_terminal_request_event(PyObject* event_tuple) { return is_terminal(event_tuple); }

namespace {

Result<PyRef> poll_batch(PyObject* self, const Args& args, EventForm form) {
    uint64_t limit = kDefaultLimit;
    if (args.given(0)) {
        TRY_ASSIGN(limit, args.convert(0, to_count));
    }
    if (limit == 0) limit = 1;
    RequestContents& request = request_of(self);
    request.pending->pending.store(false);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return Failure::fetch();
    for (uint64_t n = 0; n < limit; ++n) {
        TRY_ASSIGN(std::optional<PyRef> taken, take_event(form, request));
        if (!taken) break;
        if (PyList_Append(list.get(), taken->get()) < 0) return Failure::fetch();
        if (is_terminal(taken->get())) break;
    }
    return list;
}

}  // namespace

Result<PyRef> request_poll_event(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    // Cleared before looking: an event recorded from now on either lands in
    // this poll or schedules a new notify.
    request.pending->pending.store(false);
    TRY_ASSIGN(std::optional<PyRef> taken, take_event(EventForm::Lists, request));
    if (!taken) return none();
    return std::move(*taken);
}

Result<PyRef> request_poll_events(PyObject* self, const Args& args) { return poll_batch(self, args, EventForm::Lists); }

Result<PyRef> request_poll_events_bytes(PyObject* self, const Args& args) {
    return poll_batch(self, args, EventForm::Bytes);
}

}  // namespace vesper
