// PyEngine as the other classes see it.
#pragma once

#include "halyard.h"
#include "module/class_object.h"
#include "module/network_thread.h"

namespace vesper {

// The engine's Core handle, lent for the duration of a creating method.
// The Core engine, refused in a process forked after its creation.
Result<hy_engine*> engine_core_handle(PyObject* engine);
// The identity of the engine's network thread, for its requests and
// WebSockets to carry (module/network_thread.h).
NetworkRef engine_network(PyObject* engine);

// PyEngine's instance methods (request, websocket), defined with the
// subsystems they create.
extern const MethodDef* const kEngineMethods;
extern const size_t kEngineMethodCount;

}  // namespace vesper
