#include "request/py_request.h"

#include "module/core_extensions.h"

namespace vesper {

Result<RunningPair> start_request(RequestContents& request, bool for_wait) {
    TRY_STATUS(request.handle->start(for_wait ? core_extensions().request_start_driven : nullptr));
    return RunningPair{request.handle->shared_state(), request.handle};
}

Status start_into_slot(RequestContents& request, bool for_wait) {
    TRY_ASSIGN(RunningPair pair, start_request(request, for_wait));
    std::optional<RunningPair> replaced = request.start_slot.put(std::move(pair));
    return ok_status();
}

void finish_request(RequestContents& request) {
    request.handle->state().notifier().remove();
    detach_link(request.hub);
    std::optional<RunningPair> dropped = request.start_slot.take();
}

Failure interrupted_wait(RequestContents& request, Failure failure) {
    hy_request_cancel(request.handle->core());
    if (!request.handle->started()) request.handle->state().cancel_unstarted();
    finish_request(request);
    return failure;
}

namespace {

constexpr const char* kUpload[] = {"data", "final_chunk"};
constexpr const char* kTimeout[] = {"timeout"};
constexpr const char* kLoop[] = {"loop_", "notify"};
constexpr const char* kLimit[] = {"limit"};
constexpr const char* kReadInto[] = {"buffer", "timeout"};
constexpr const char* kReadExact[] = {"size", "timeout"};
constexpr const char* kHub[] = {"hub", "tag"};

constexpr const char* kStartForWaitDoc =
    "start_for_wait()\n"
    "Like start, for a caller whose next call on this thread waits on the\n"
    "request (wait_response, wait_manual_bytes, read_all...).  With a Core\n"
    "whose waiting threads run the transfers themselves, the start is not\n"
    "handed to the engine's network thread: that wait sends the request.\n"
    "Until a wait (or another request's) runs the engine, nothing is sent.";

constexpr const char* kUploadOfferDoc =
    "upload_offer(data, final_chunk) -> bool\n"
    "Queues one piece like upload_write but never waits for room: True when\n"
    "the queue is over its limit now (wait until upload_held() is False\n"
    "before the next piece).  For an event loop's thread; RuntimeError with\n"
    "a Core without hy_request_upload_push.";
constexpr const char* kUploadHeldDoc =
    "upload_held() -> bool\n"
    "True while the upload queue is over its limit; raises what the\n"
    "request's end gives once it ended with a failure.";

constexpr const char* kStartHubDoc =
    "start_hub(hub, tag)\n"
    "Like start_async, but the events are delivered by PyEventHub.poll() as\n"
    "(tag, RequestEvent) pairs.  After RESPONSE no body bytes come through\n"
    "the hub: the reader takes them with take_available(), and the hub sends\n"
    "READABLE when a take that found nothing may find something now, and\n"
    "ENDED once the request ended.  The hub keeps the request until its\n"
    "terminal event (ENDED, ERROR) was polled, it is detached\n"
    "(detach_callback, cancel, hub.detach) or the hub is closed.  A refused\n"
    "start detaches it.";

constexpr const char* kWaitResponseDoc =
    "wait_response(timeout=None) -> PyResponse\n"
    "As await_response(), in slices that let Ctrl-C through; raises\n"
    "TimeoutError when `timeout` seconds pass without the head.";
constexpr const char* kReadChunkDoc =
    "read_chunk(timeout=None) -> bytes\n"
    "The next body chunk as bytes; b'' at the end of the body.  Flow control\n"
    "and failures as next_body().";
constexpr const char* kReadAllDoc =
    "read_all(timeout=None) -> bytes\n"
    "The rest of the body as one bytes object.  On TimeoutError or an\n"
    "interrupt, what was read stays queued for the next read.";
constexpr const char* kReadIntoDoc =
    "readinto(buffer, timeout=None) -> int\n"
    "Copies up to len(buffer) body bytes into a writable buffer (bytearray,\n"
    "memoryview, mmap, array ...); the rest of a chunk is kept for the next\n"
    "read.  Returns 0 at the end of the body.";
constexpr const char* kMax[] = {"max"};
constexpr const char* kTakeAvailableDoc =
    "take_available(max=1048576) -> bytes | None\n"
    "Never waits: what has arrived of the body, up to `max` bytes, as one\n"
    "bytes object (the queued pieces joined; the rest stays for the next\n"
    "read); b'' at the end of the body; None when nothing is there yet.  Raises the request's failure as\n"
    "read_chunk() does, once the bytes before it were taken.  A take that\n"
    "brings the queue under the flow control's 1 MiB resumes the transfer.\n"
    "On a request started with start_hub, None also asks the hub for one\n"
    "READABLE event once bytes (or the end) arrive.";
constexpr const char* kReadExactDoc =
    "read_exact(size, timeout=None) -> bytes\n"
    "The next `size` body bytes as one bytes object, fewer only at the end of\n"
    "the body; b'' at the end.  Each byte is copied once from the Core's\n"
    "buffer.  On TimeoutError or an interrupt, what was read stays queued.";
constexpr const char* kReadSomeDoc =
    "read_some(size, timeout=None) -> bytes\n"
    "What has arrived of the body, at least one byte and at most `size`, as\n"
    "one bytes object; waits only while nothing has arrived.  b'' at the end\n"
    "of the body.  Each byte is copied once from the queue.";
constexpr const char* kPollBytesDoc =
    "poll_events_bytes(limit=64) -> list[RequestEvent]\n"
    "As poll_events(), as RequestEvent records (REDIRECT, RESPONSE, BODY,\n"
    "DONE, ERROR) with bytes, and a CoreFailure for an error.";

constexpr const char* kWaitManualBytesDoc =
    "wait_manual_bytes(timeout=None) -> tuple\n"
    "As wait_manual(): ((status, raw, location, method), None) for a deferred\n"
    "redirect or (None, (status, head)) for the head, whichever comes first,\n"
    "with the raw and head blocks as bytes; (None, None) once the head went\n"
    "to another reader.  Waits in slices that let Ctrl-C through; raises\n"
    "TimeoutError when `timeout` seconds pass, and RuntimeError with the\n"
    "request's whole failure text (\"Timeout (Chromium net error -7)\"),\n"
    "every time, once the request failed.";
constexpr const char* kTakeRedirectsBytesDoc =
    "take_redirects_bytes() -> list[tuple[int, bytes, str, str]]\n"
    "As take_redirects(), with each raw block as bytes.";
constexpr const char* kRecordSentHeadsDoc =
    "record_sent_heads() -> None\n"
    "Asks the Core to keep each request head it sends for this request\n"
    "(every hop, a proxy CONNECT included; 256 KiB in all).  Only before\n"
    "start(): RuntimeError after.";
constexpr const char* kSentHeadsBytesDoc =
    "sent_heads_bytes() -> bytes\n"
    "The request heads sent so far, one after another as they went on the\n"
    "wire, each ending with its blank line; b'' when record_sent_heads()\n"
    "was not called or nothing was sent yet.";
constexpr const char* kLength[] = {"length"};
constexpr const char* kSetUploadLengthDoc =
    "set_upload_length(length) -> None\n"
    "For a streamed body (chunked=True): sends it with Content-Length: length\n"
    "instead of chunked.  The Core refuses a write that would pass the length\n"
    "or a final one that leaves it short, and fails the request (-14).  Only\n"
    "before start(); RuntimeError when the Core lacks the extension.";
constexpr const char* kSetMaxRedirectsDoc =
    "set_max_redirects(limit) -> None\n"
    "How many redirects the request may follow (20 without this call).  Only\n"
    "before start(); RuntimeError when the Core lacks the extension.";
constexpr const char* kFromCacheDoc =
    "from_cache() -> bool\n"
    "Whether the response head delivered came from the engine's HTTP cache\n"
    "(fresh, or confirmed by a 304); RuntimeError when the Core lacks the\n"
    "extension.";
constexpr const char* kPhases[] = {"connect", "read", "write", "pool"};
constexpr const char* kSetTimeoutsDoc =
    "set_timeouts(connect=None, read=None, write=None, pool=None) -> None\n"
    "Limits, in seconds (None: none), on the request's phases, each kept by\n"
    "the Core: connecting (TCP, proxy, TLS); no response byte received once\n"
    "the request is sent; no body byte sent while the body goes out; waiting\n"
    "for a connection slot.  A phase that runs out fails the request with\n"
    "kind Timeout; the CoreFailure's timeout_phase names the phase.  Only\n"
    "before start(); RuntimeError when the Core lacks the extension.";
constexpr const char* kWaitManualDoc =
    "Blocks until the Core reports a deferred redirect or the response\n"
    "headers arrive, whichever happens first.  See the modern binding for the\n"
    "reasoning: waiting only on the response would hang in manual mode.";

const MethodDef kMethods[] = {
    {"cancel", MethodKind::None, kNoParams, request_cancel},
    {"detach_callback", MethodKind::None, kNoParams, request_detach_callback},
    {"is_finished", MethodKind::None, kNoParams, request_is_finished},
    {"upload_write", MethodKind::Args, {kUpload, 2, 2}, request_upload_write},
    {"upload_finish", MethodKind::Args, kNoParams, request_upload_finish},
    {"upload_offer", MethodKind::Args, {kUpload, 2, 2}, request_upload_offer, kUploadOfferDoc},
    {"upload_held", MethodKind::None, kNoParams, request_upload_held, kUploadHeldDoc},
    {"resume_read", MethodKind::None, kNoParams, request_resume_read},
    {"follow_redirect", MethodKind::None, kNoParams, request_follow_redirect},
    {"take_redirects", MethodKind::None, kNoParams, request_take_redirects},
    {"wait_redirect", MethodKind::Args, {kTimeout, 1, 0}, request_wait_redirect},
    {"wait_manual", MethodKind::Args, {kTimeout, 1, 0}, request_wait_manual, kWaitManualDoc},
    {"start_stream", MethodKind::Args, {kTimeout, 1, 0}, request_start_stream},
    {"start", MethodKind::None, kNoParams, request_start},
    {"start_for_wait", MethodKind::None, kNoParams, request_start_for_wait, kStartForWaitDoc},
    {"await_response", MethodKind::Args, {kTimeout, 1, 0}, request_await_response},
    {"next_body", MethodKind::Args, {kTimeout, 1, 0}, request_next_body},
    {"read_body", MethodKind::Args, {kTimeout, 1, 0}, request_read_body},
    {"start_async", MethodKind::Args, {kLoop, 2, 2}, request_start_async},
    {"attach_async", MethodKind::Args, {kLoop, 2, 2}, request_attach_async},
    {"poll_event", MethodKind::None, kNoParams, request_poll_event},
    {"poll_events", MethodKind::Args, {kLimit, 1, 0}, request_poll_events},
    {"poll_events_bytes", MethodKind::Args, {kLimit, 1, 0}, request_poll_events_bytes, kPollBytesDoc},
    {"wait_response", MethodKind::Args, {kTimeout, 1, 0}, request_wait_response, kWaitResponseDoc},
    {"read_chunk", MethodKind::Args, {kTimeout, 1, 0}, request_read_chunk, kReadChunkDoc},
    {"read_all", MethodKind::Args, {kTimeout, 1, 0}, request_read_all, kReadAllDoc},
    {"readinto", MethodKind::Args, {kReadInto, 2, 1}, request_readinto, kReadIntoDoc},
    {"read_exact", MethodKind::Args, {kReadExact, 2, 1}, request_read_exact, kReadExactDoc},
    {"read_some", MethodKind::Args, {kReadExact, 2, 1}, request_read_some, kReadSomeDoc},
    {"take_available", MethodKind::Args, {kMax, 1, 0}, request_take_available, kTakeAvailableDoc},
    {"start_hub", MethodKind::Args, {kHub, 2, 2}, request_start_hub, kStartHubDoc},
    {"wait_manual_bytes", MethodKind::Args, {kTimeout, 1, 0}, request_wait_manual_bytes, kWaitManualBytesDoc},
    {"take_redirects_bytes", MethodKind::None, kNoParams, request_take_redirects_bytes, kTakeRedirectsBytesDoc},
    {"record_sent_heads", MethodKind::None, kNoParams, request_record_sent_heads, kRecordSentHeadsDoc},
    {"sent_heads_bytes", MethodKind::None, kNoParams, request_sent_heads_bytes, kSentHeadsBytesDoc},
    {"set_upload_length", MethodKind::Args, {kLength, 1, 1}, request_set_upload_length, kSetUploadLengthDoc},
    {"set_max_redirects", MethodKind::Args, {kLimit, 1, 1}, request_set_max_redirects, kSetMaxRedirectsDoc},
    {"from_cache", MethodKind::None, kNoParams, request_from_cache, kFromCacheDoc},
    {"set_timeouts", MethodKind::Args, {kPhases, 4, 0}, request_set_timeouts, kSetTimeoutsDoc},
};

// A notify that captures its own request is a cycle through the notifier
// the request's state holds: the collector sees it, and breaks it by
// detaching the notifier (as detach_callback does).
int traverse_request(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return request_of(self).handle->state().notifier().traverse(visit, arg);
}

int clear_request(PyObject* self) {
    request_of(self).handle->state().notifier().remove();
    return 0;
}

}  // namespace

const ClassDef kRequestClass = {
    "PyRequest",
    ClassId::Request,
    instance_size<RequestContents>(),
    dealloc_instance<RequestContents>,
    nullptr,
    kMethods,
    sizeof kMethods / sizeof kMethods[0],
    nullptr,
    nullptr,
    traverse_request,
    clear_request,
};

}  // namespace vesper
