// PyRequest.poll_event / poll_events / poll_events_bytes and the event
// hub's view of a request: draining a request's events without ever waiting.
//
// The specified forms (poll_event, poll_events) are tuples (kind, number,
// first bytes, second bytes, text) with the byte fields as lists of ints.
// The bytes forms are RequestEvent records (module/event_records.h):
// poll_events_bytes hands the body out as BODY records; the event hub
// keeps it in the request, to be taken with take_available, and only
// signals a waiting reader (READABLE) and the request's end (ENDED).  A
// request's life ends in exactly one "done" or "error" event (DONE, ERROR
// or, on the hub after the head, ENDED).
#include "module/event_records.h"
#include "module/pytext.h"
#include "request/py_request.h"
#include "request/request_values.h"

namespace vesper {

namespace {

constexpr uint64_t kDefaultLimit = 64;

using Kind = RequestEventKind;

// The kind texts of the tuple form, made once and shared by every event.
Result<PyRef> kind_text(Kind kind) {
    static PyObject* texts[7] = {};
    static const char* const names[7] = {"redirect", "response", "body", "readable", "ended", "done", "error"};
    const int i = static_cast<int>(kind);
    if (texts[i] == nullptr) {
        texts[i] = PyUnicode_InternFromString(names[i]);
        if (texts[i] == nullptr) return Failure::fetch();
    }
    return PyRef::borrow(texts[i]);
}

// One event's contents; which are set depends on the kind.
struct EventParts {
    Kind kind = Kind::Done;
    long long status = 0;
    const Bytes* head = nullptr;
    const RedirectRecord* redirect = nullptr;
    const Bytes* data = nullptr;
    const RequestFailure* failure = nullptr;
};

const uint8_t* data_of(const Bytes* bytes) { return bytes != nullptr ? bytes->data() : nullptr; }
size_t size_of(const Bytes* bytes) { return bytes != nullptr ? bytes->size() : 0; }

// The specified tuple: (kind, number, first, second, text), byte items as
// lists of ints.
Result<PyRef> event_tuple(const EventParts& parts) {
    TRY_ASSIGN(PyRef kind_ref, kind_text(parts.kind));
    TRY_ASSIGN(PyRef number_ref, make_int(parts.status));
    const Bytes* first = parts.redirect != nullptr ? &parts.redirect->raw : parts.head;
    TRY_ASSIGN(PyRef first_ref, make_byte_list(data_of(first), size_of(first)));
    PyRef second_ref;
    PyRef text = none();
    if (parts.redirect != nullptr) {
        const auto* location = reinterpret_cast<const uint8_t*>(parts.redirect->location.data());
        TRY_ASSIGN(second_ref, make_byte_list(location, parts.redirect->location.size()));
        TRY_ASSIGN(text, make_str(parts.redirect->method));
    } else {
        TRY_ASSIGN(second_ref, make_byte_list(data_of(parts.data), size_of(parts.data)));
    }
    if (parts.failure != nullptr) {
        TRY_ASSIGN(text, make_str(parts.failure->text()));
    }
    return make_tuple(std::move(kind_ref), std::move(number_ref), std::move(first_ref), std::move(second_ref),
                      std::move(text));
}

// The RequestEvent record.
Result<PyRef> event_record(const EventParts& parts) {
    TRY_ASSIGN(PyRef record, new_event_record(request_event_type(), static_cast<long>(parts.kind)));
    PyObject* r = record.get();
    if (parts.kind == Kind::Redirect || parts.kind == Kind::Response) {
        TRY_ASSIGN(PyRef status, make_int(parts.status));
        set_event_field(r, kRequestStatus, std::move(status));
        const Bytes* head = parts.redirect != nullptr ? &parts.redirect->raw : parts.head;
        TRY_ASSIGN(PyRef block, make_bytes(data_of(head), size_of(head)));
        set_event_field(r, kRequestHead, std::move(block));
    }
    if (parts.redirect != nullptr) {
        TRY_ASSIGN(PyRef location, make_str(parts.redirect->location));
        set_event_field(r, kRequestLocation, std::move(location));
        TRY_ASSIGN(PyRef method, make_str(parts.redirect->method));
        set_event_field(r, kRequestMethod, std::move(method));
    }
    if (parts.data != nullptr) {
        TRY_ASSIGN(PyRef data, make_bytes(parts.data->data(), parts.data->size()));
        set_event_field(r, kRequestData, std::move(data));
    }
    if (parts.failure != nullptr) {
        TRY_ASSIGN(PyRef failure, request_failure_value(*parts.failure));
        set_event_field(r, kRequestFailure, std::move(failure));
    }
    return record;
}

Result<PyRef> build(EventForm form, const EventParts& parts) {
    return form == EventForm::Bytes ? event_record(parts) : event_tuple(parts);
}

Result<std::optional<TakenEvent>> taken(EventForm form, const EventParts& parts, bool terminal = false) {
    TRY_ASSIGN(PyRef value, build(form, parts));
    return std::optional<TakenEvent>(TakenEvent{std::move(value), terminal});
}

// The one terminal event, or nothing if it went out already.  The event is
// built before it is marked as reported: a failure to build it leaves it to
// the next poll instead of losing it (an asyncio reader would wait for ever).
Result<std::optional<TakenEvent>> terminal_event(EventForm form, RequestContents& request,
                                                 const RequestFailure* failure, Kind end = Kind::Done) {
    if (request.final_reported.load()) return std::optional<TakenEvent>();
    EventParts parts;
    parts.kind = failure != nullptr ? Kind::Error : end;
    parts.failure = failure;
    Result<PyRef> made = build(form, parts);
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
    if (request.final_reported.exchange(true)) return std::optional<TakenEvent>();
    finish_request(request);
    return std::optional<TakenEvent>(TakenEvent{std::move(built), true});
}

// Takes the next event, first match wins: a redirect, the head, a body
// chunk (or the hub's signal), the end.
Result<std::optional<TakenEvent>> take_event(EventForm form, BodyDelivery delivery, RequestContents& request) {
    if (request.unsent_failure) {
        const RequestFailure failure = *std::exchange(request.unsent_failure, std::nullopt);
        return terminal_event(form, request, &failure);
    }
    if (std::exchange(request.unsent_done, false)) {
        return terminal_event(form, request, nullptr, delivery == BodyDelivery::Signals ? Kind::Ended : Kind::Done);
    }
    RequestState& state = request.handle->state();
    if (std::optional<RedirectRecord> record = state.take_redirect()) {
        EventParts parts;
        parts.kind = Kind::Redirect;
        parts.status = record->status;
        parts.redirect = &*record;
        return taken(form, parts);
    }
    std::optional<RunningPair> started = request.start_slot.peek();
    if (started) {
        HeadTake head_taken = started->state->take_head();
        if (auto* head = std::get_if<Head>(&head_taken)) {
            // Body events (or signals) follow a handed-out response only.
            if (delivery == BodyDelivery::Signals) started->state->signal_edges_only();
            std::optional<RunningPair> replaced = request.body_slot.put(std::move(*started));
            EventParts parts;
            parts.kind = Kind::Response;
            parts.status = head->status;
            parts.head = &head->block;
            return taken(form, parts);
        }
        if (auto* failure = std::get_if<RequestFailure>(&head_taken)) return terminal_event(form, request, failure);
    }
    std::optional<RunningPair> body = request.body_slot.peek();
    if (!body) return std::optional<TakenEvent>();
    if (delivery == BodyDelivery::Signals) {
        switch (body->state->take_body_signal()) {
            case BodySignal::Readable: {
                EventParts parts;
                parts.kind = Kind::Readable;
                return taken(form, parts);
            }
            case BodySignal::Ended:
                return terminal_event(form, request, nullptr, Kind::Ended);
            case BodySignal::None:
                return std::optional<TakenEvent>();
        }
    }
    ChunkTake chunk_taken = body->state->take_chunk(body->handle->core());
    if (auto* chunk = std::get_if<Bytes>(&chunk_taken)) {
        EventParts parts;
        parts.kind = Kind::Body;
        parts.data = chunk;
        return taken(form, parts);
    }
    if (std::holds_alternative<EndOfBody>(chunk_taken)) return terminal_event(form, request, nullptr);
    if (auto* failure = std::get_if<RequestFailure>(&chunk_taken)) return terminal_event(form, request, failure);
    return std::optional<TakenEvent>();
}

}  // namespace

Result<std::optional<TakenEvent>> take_request_event(EventForm form, BodyDelivery delivery,
                                                     RequestContents& request) {
    return take_event(form, delivery, request);
}

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
        TRY_ASSIGN(std::optional<TakenEvent> event, take_event(form, BodyDelivery::Events, request));
        if (!event) break;
        if (PyList_Append(list.get(), event->value.get()) < 0) return Failure::fetch();
        if (event->terminal) break;
    }
    return list;
}

}  // namespace

Result<PyRef> request_poll_event(PyObject* self, const Args&) {
    RequestContents& request = request_of(self);
    // Cleared before looking: an event recorded from now on either lands in
    // this poll or schedules a new notify.
    request.pending->pending.store(false);
    TRY_ASSIGN(std::optional<TakenEvent> event, take_event(EventForm::Lists, BodyDelivery::Events, request));
    if (!event) return none();
    return std::move(event->value);
}

Result<PyRef> request_poll_events(PyObject* self, const Args& args) { return poll_batch(self, args, EventForm::Lists); }

Result<PyRef> request_poll_events_bytes(PyObject* self, const Args& args) {
    return poll_batch(self, args, EventForm::Bytes);
}

}  // namespace vesper
