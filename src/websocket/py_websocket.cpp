#include "module/class_object.h"

namespace vesper {

namespace {
struct WebSocketContents {};
}  // namespace

const ClassDef kWebSocketClass = {
    "PyWebSocket", ClassId::WebSocket, instance_size<WebSocketContents>(), dealloc_instance<WebSocketContents>,
    nullptr,       nullptr,            0,                                  nullptr,
    nullptr,
};

}  // namespace vesper

namespace vesper {
Result<PyRef> engine_websocket(PyObject*, const Args&) { return Failure::runtime("WebSocket is not built yet"); }
}  // namespace vesper
