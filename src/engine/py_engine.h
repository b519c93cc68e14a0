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

// PyEngine.cookies(command="") -> str: applies a cookies.txt line (or
// "ALL") to the engine's jar and lists it (engine_cookies.cpp).
Result<PyRef> engine_cookies(PyObject* self, const Args& args);

// PyEngine.loop_attach / loop_drive / loop_detach: the engine's network
// loop run by an asyncio loop's thread (engine_loop.cpp).
Result<PyRef> engine_loop_attach(PyObject* self, const Args& args);
Result<PyRef> engine_loop_drive(PyObject* self, const Args& args);
Result<PyRef> engine_loop_detach(PyObject* self, const Args& args);

// PyEngine's instance methods (request, websocket), defined with the
// subsystems they create.
extern const MethodDef* const kEngineMethods;
extern const size_t kEngineMethodCount;

}  // namespace vesper
