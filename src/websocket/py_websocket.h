// PyWebSocket: one WebSocket connection as Python sees it.
#pragma once

#include <memory>

#include "async/event_hub.h"
#include "async/pending_flag.h"
#include "module/class_object.h"
#include "module/slot.h"
#include "websocket/websocket_handle.h"

namespace vesper {

struct WebSocketContents {
    explicit WebSocketContents(std::shared_ptr<WebSocketHandle> h)
        : handle(std::move(h)), pending(std::make_shared<PendingFlag>()) {}

    std::shared_ptr<WebSocketHandle> handle;
    PendingFlagRef pending;
    Slot<Shared<WebSocketState>> connection;  // filled once started
    HubLink hub;                              // set by start_hub
};

inline WebSocketContents& websocket_of(PyObject* self) { return contents_of<WebSocketContents>(self); }

// Starts the connection (at most once; again after a refused start) and
// fills the connection slot.
Status connect_websocket(WebSocketContents& socket);

#define VESPER_WEBSOCKET_METHOD(name) Result<PyRef> websocket_##name(PyObject* self, const Args& args)
VESPER_WEBSOCKET_METHOD(connect);
VESPER_WEBSOCKET_METHOD(send_text);
VESPER_WEBSOCKET_METHOD(send_bytes);
VESPER_WEBSOCKET_METHOD(recv);
VESPER_WEBSOCKET_METHOD(close);
VESPER_WEBSOCKET_METHOD(cancel);
VESPER_WEBSOCKET_METHOD(detach_callback);
VESPER_WEBSOCKET_METHOD(is_finished);
VESPER_WEBSOCKET_METHOD(start_async);
VESPER_WEBSOCKET_METHOD(poll_event);
VESPER_WEBSOCKET_METHOD(poll_events);
VESPER_WEBSOCKET_METHOD(poll_events_bytes);
VESPER_WEBSOCKET_METHOD(recv_message);
VESPER_WEBSOCKET_METHOD(start_hub);
VESPER_WEBSOCKET_METHOD(set_timeouts);
#undef VESPER_WEBSOCKET_METHOD

// Pops up to `limit` events (at least one asked for); a terminal event ends
// the batch and removes the notifier.
Result<std::vector<WebSocketEvent>> pop_websocket_events(WebSocketContents& socket, uint64_t limit);

// PyEngine.websocket: creates a connection (nothing is sent yet).
Result<PyRef> engine_websocket(PyObject* engine, const Args& args);

}  // namespace vesper
