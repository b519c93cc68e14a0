#include "websocket/py_websocket.h"

#include "module/pytext.h"

namespace vesper {

Status connect_websocket(WebSocketContents& socket) {
    TRY_STATUS(socket.handle->start());
    std::optional<Shared<WebSocketState>> replaced = socket.connection.put(socket.handle->shared_state());
    return ok_status();
}

Result<PyRef> websocket_connect(PyObject* self, const Args&) {
    TRY_STATUS(connect_websocket(websocket_of(self)));
    return none();
}

Result<PyRef> websocket_close(PyObject* self, const Args& args) {
    TRY_ASSIGN(uint16_t code, args.convert(0, to_port));
    TRY_ASSIGN(std::string reason, args.convert(1, to_text));
    WebSocketContents& socket = websocket_of(self);
    const uint32_t result =
        hy_websocket_close(socket.handle->core(), code, reason.empty() ? nullptr : reason.data(), reason.size());
    // A hub goes on delivering up to the terminal event, which detaches.
    if (!socket.hub.attached()) socket.handle->state().notifier().remove();
    TRY_STATUS(core_status(result));
    return none();
}

Result<PyRef> websocket_cancel(PyObject* self, const Args&) {
    WebSocketContents& socket = websocket_of(self);
    const uint32_t result = hy_websocket_cancel(socket.handle->core());
    if (!socket.hub.attached()) socket.handle->state().notifier().remove();
    TRY_STATUS(core_status(result));
    return none();
}

Result<PyRef> websocket_is_finished(PyObject* self, const Args&) {
    return boolean(websocket_of(self).handle->state().finished());
}

namespace {

constexpr const char* kText[] = {"text"};
constexpr const char* kData[] = {"data"};
constexpr const char* kClose[] = {"code", "reason"};
constexpr const char* kLoop[] = {"loop_", "notify"};
constexpr const char* kLimit[] = {"limit"};
constexpr const char* kTimeout[] = {"timeout"};
constexpr const char* kHub[] = {"hub", "tag"};

constexpr const char* kStartHubDoc =
    "start_hub(hub, tag)\n"
    "Connects, delivering the events through PyEventHub.poll() as (tag, event)\n"
    "pairs in the bytes form, also after close() and cancel(), up to the\n"
    "terminal event, which detaches.  A refused start detaches.";

constexpr const char* kRecvMessageDoc =
    "recv_message(timeout=None) -> tuple | None\n"
    "As recv(), in slices that let Ctrl-C through, raising TimeoutError when\n"
    "`timeout` seconds pass without an event.  The payload is str for a\n"
    "\"text\" message (UTF-8, invalid sequences replaced) and bytes otherwise.";
constexpr const char* kPollBytesDoc =
    "poll_events_bytes(limit=64) -> list[tuple]\n"
    "As poll_events(), with the payloads of recv_message().";

constexpr const char* kPhases[] = {"connect", "handshake"};
constexpr const char* kSetTimeoutsDoc =
    "set_timeouts(connect=None, handshake=None) -> None\n"
    "Limits, in seconds (None: none), on the way to an open connection, each\n"
    "kept by the Core: connecting (TCP, proxy, TLS); then the server's answer\n"
    "to the upgrade request.  A phase that runs out fails the connection with\n"
    "kind Timeout (net error -118 for connect, -7 for the handshake); the\n"
    "error event's CoreFailure names it in timeout_phase.  Nothing limits an\n"
    "open connection.  Only before connect(); RuntimeError when the Core\n"
    "lacks the extension.";

const MethodDef kMethods[] = {
    {"connect", MethodKind::None, kNoParams, websocket_connect},
    {"send_text", MethodKind::Args, {kText, 1, 1}, websocket_send_text},
    {"send_bytes", MethodKind::Args, {kData, 1, 1}, websocket_send_bytes},
    {"recv", MethodKind::Args, {kTimeout, 1, 0}, websocket_recv},
    {"close", MethodKind::Args, {kClose, 2, 2}, websocket_close},
    {"cancel", MethodKind::None, kNoParams, websocket_cancel},
    {"detach_callback", MethodKind::None, kNoParams, websocket_detach_callback},
    {"is_finished", MethodKind::None, kNoParams, websocket_is_finished},
    {"start_async", MethodKind::Args, {kLoop, 2, 2}, websocket_start_async},
    {"poll_event", MethodKind::None, kNoParams, websocket_poll_event},
    {"poll_events", MethodKind::Args, {kLimit, 1, 0}, websocket_poll_events},
    {"poll_events_bytes", MethodKind::Args, {kLimit, 1, 0}, websocket_poll_events_bytes, kPollBytesDoc},
    {"start_hub", MethodKind::Args, {kHub, 2, 2}, websocket_start_hub, kStartHubDoc},
    {"recv_message", MethodKind::Args, {kTimeout, 1, 0}, websocket_recv_message, kRecvMessageDoc},
    {"set_timeouts", MethodKind::Args, {kPhases, 2, 0}, websocket_set_timeouts, kSetTimeoutsDoc},
};

}  // namespace

namespace {

// As for requests: the notifier's loop and notify, seen by the collector.
int traverse_websocket(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return websocket_of(self).handle->state().notifier().traverse(visit, arg);
}

int clear_websocket(PyObject* self) {
    websocket_of(self).handle->state().notifier().remove();
    return 0;
}

}  // namespace

const ClassDef kWebSocketClass = {
    "PyWebSocket",
    ClassId::WebSocket,
    instance_size<WebSocketContents>(),
    dealloc_instance<WebSocketContents>,
    nullptr,
    kMethods,
    sizeof kMethods / sizeof kMethods[0],
    nullptr,
    nullptr,
    traverse_websocket,
    clear_websocket,
};

}  // namespace vesper
