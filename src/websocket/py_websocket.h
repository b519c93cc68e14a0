// PyWebSocket: one WebSocket connection as Python sees it.
#pragma once

#include "module/class_object.h"

namespace vesper {

// PyEngine.websocket: creates a connection (nothing is sent yet).
Result<PyRef> engine_websocket(PyObject* engine, const Args& args);

}  // namespace vesper
