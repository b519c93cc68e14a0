// PyWebSocket under asyncio: the loop notifier and the non-blocking polls.
#include "async/loop_notifier.h"
#include "async/py_event_hub.h"
#include "module/pytext.h"
#include "websocket/py_websocket.h"
#include "websocket/websocket_values.h"

namespace vesper {

namespace {

constexpr const char* kNotConnected = "WebSocket is not connected";
constexpr uint64_t kDefaultLimit = 64;

}  // namespace

// Pops with the connection slot held.
Result<std::vector<WebSocketEvent>> pop_websocket_events(WebSocketContents& socket, uint64_t limit) {
    socket.pending->pending.store(false);
    std::vector<WebSocketEvent> events;
    bool connected = false;
    {
        SlotLock lock(socket.connection.mutex());
        if (auto& state = socket.connection.locked_value()) {
            connected = true;
            while (events.size() < limit) {
                std::optional<WebSocketEvent> event = (*state)->pop();
                if (!event) break;
                const bool terminal = event->terminal();
                events.push_back(std::move(*event));
                if (terminal) {
                    (*state)->notifier().remove();
                    break;
                }
            }
        }
    }
    if (!connected) return Failure::runtime(kNotConnected);
    return events;
}

Result<PyRef> websocket_start_async(PyObject* self, const Args& args) {
    WebSocketContents& socket = websocket_of(self);
    // Installed first and kept even when the start is refused.
    install_notifier(socket.handle->state().notifier(), socket.pending, args[0], args[1]);
    TRY_STATUS(connect_websocket(socket));
    return none();
}

Result<PyRef> websocket_start_hub(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::shared_ptr<EventHub> hub, args.convert(0, to_event_hub));
    WebSocketContents& socket = websocket_of(self);
    TRY_STATUS(start_on_hub(hub, HubMember::Kind::WebSocket, self, args[1], socket.handle->state().notifier(),
                            socket.hub, [&] { return connect_websocket(socket); }));
    return none();
}

Result<PyRef> websocket_detach_callback(PyObject* self, const Args&) {
    detach_link(websocket_of(self).hub);
    websocket_of(self).handle->state().notifier().remove();
    return none();
}

Result<PyRef> websocket_poll_event(PyObject* self, const Args&) {
    TRY_ASSIGN(std::vector<WebSocketEvent> events, pop_websocket_events(websocket_of(self), 1));
    if (events.empty()) return none();
    return websocket_event_value(events.front());
}

namespace {

Result<PyRef> poll_batch(PyObject* self, const Args& args, Result<PyRef> (*make)(const WebSocketEvent&)) {
    uint64_t limit = kDefaultLimit;
    if (args.given(0)) {
        TRY_ASSIGN(limit, args.convert(0, to_count));
    }
    if (limit == 0) limit = 1;
    TRY_ASSIGN(std::vector<WebSocketEvent> events, pop_websocket_events(websocket_of(self), limit));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return Failure::fetch();
    for (size_t i = 0; i < events.size(); ++i) {
        TRY_ASSIGN(PyRef value, make(events[i]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return list;
}

}  // namespace

Result<PyRef> websocket_poll_events(PyObject* self, const Args& args) {
    return poll_batch(self, args, websocket_event_value);
}

Result<PyRef> websocket_poll_events_bytes(PyObject* self, const Args& args) {
    return poll_batch(self, args, websocket_event_record);
}

}  // namespace vesper
