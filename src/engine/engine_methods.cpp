// PyEngine's instance methods: the factories of requests and WebSockets.
#include "engine/py_engine.h"

namespace vesper {

const MethodDef* const kEngineMethods = nullptr;
const size_t kEngineMethodCount = 0;

}  // namespace vesper
