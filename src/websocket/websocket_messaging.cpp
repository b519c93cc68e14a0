// Sending messages and the blocking recv.
#include "module/byte_buffer.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "websocket/py_websocket.h"
#include "websocket/websocket_values.h"

namespace vesper {

namespace {

constexpr const char* kNotConnected = "WebSocket is not connected";

// With the Core's driven send, the message goes out on this thread when
// nobody runs the loop, and the callbacks of that round run here: the
// interpreter lock is given up for it, as for a driven wait.  The bytes
// stay lent meanwhile: the caller's arguments hold them.  That pays for a
// small message whose answer is read by a driven recv, or by the event
// loop whose thread runs the engine's loop (this one); events bound for a
// loop the network thread serves would wait for it to take the loop back.
// Large messages go through the network thread, which writes them while
// this thread reads: one thread doing both stalled a stream of 64 KiB
// messages (the peer's answers unread while the window's sends went out).
Status send(PyObject* self, uint32_t type, const uint8_t* data, size_t len) {
    WebSocketContents& socket = websocket_of(self);
    hy_websocket* core = socket.handle->core();
    const uint8_t* bytes = len ? data : nullptr;
    const auto driven = core_extensions().websocket_send_driven;
    const bool to_a_loop = socket.hub.attached() || socket.handle->state().notifier().installed();
    if (driven == nullptr || len >= kLargeMessage ||
        (to_a_loop && !loop_attached_here(socket.handle->state().network())))
        return core_status(hy_websocket_send(core, type, bytes, len));
    uint32_t result;
    {
        GilRelease release;
        result = driven(core, type, bytes, len);
    }
    return core_status(result);
}

}  // namespace

Result<PyRef> websocket_send_text(PyObject* self, const Args& args) {
    // The str's UTF-8 is lent to the Core as send_bytes lends bytes.
    TRY_ASSIGN(PyRef text, args.convert(0, to_text_bytes));
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(text.get()));
    TRY_STATUS(send(self, HY_WS_TEXT, data, static_cast<size_t>(PyBytes_Size(text.get()))));
    return none();
}

Result<PyRef> websocket_send_bytes(PyObject* self, const Args& args) {
    // The Core copies the message during the call, made with the
    // interpreter lock held: the bytes are lent in place.
    TRY_ASSIGN(ByteInput data, args.convert(0, [](PyObject* o) { return to_byte_input(o, false); }));
    TRY_STATUS(send(self, HY_WS_BINARY, data.data(), data.size()));
    return none();
}

namespace {

// recv holds the connection slot only to read it, not while it sleeps: a
// poll on another thread then neither waits for it (stalling the
// interpreter) nor races it, since every event is popped exactly once under
// the state's own lock, by whichever call gets there first.  It waits in
// interruptible slices with an optional timeout (TimeoutError); Ctrl-C
// raises KeyboardInterrupt and leaves the connection open (the next recv
// goes on where this one stopped).  `value` turns the event into the
// caller's form; None once the connection has ended.
template <class Value>
Result<PyRef> receive(PyObject* self, const Args& args, Value&& value) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    WebSocketContents& socket = websocket_of(self);
    TRY_STATUS(check_process(socket.handle->owner()));
    // A RuntimeError on the connection's own network thread, where the
    // wait could never end (module/network_thread.h).
    TRY_STATUS(refuse_wait_on_network_thread(socket.handle->state().network()));
    std::optional<Shared<WebSocketState>> state = socket.connection.peek();
    if (!state) return Failure::runtime(kNotConnected);
    std::optional<WebSocketEvent> event;
    bool ended = false;
    TRY_ASSIGN(bool done, wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        event = (*state)->pop_for(socket.handle->core(), ms, ended);
        return event.has_value() || ended;
    }));
    if (!done) return Failure::timeout("timed out waiting for a WebSocket event");
    if (!event) return none();
    return value(*event);
}

}  // namespace

Result<PyRef> websocket_recv(PyObject* self, const Args& args) {
    return receive(self, args, [](const WebSocketEvent& e) { return websocket_event_value(e); });
}

// recv_message: as recv, with the payload as str or bytes.
Result<PyRef> websocket_recv_message(PyObject* self, const Args& args) {
    return receive(self, args, [](const WebSocketEvent& e) { return websocket_event_record(e); });
}

}  // namespace vesper
