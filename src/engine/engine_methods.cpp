// PyEngine's instance methods: the factories of requests and WebSockets.
#include "engine/py_engine.h"
#include "request/py_request.h"
#include "websocket/py_websocket.h"

namespace vesper {

namespace {

constexpr const char* kRequestParams[] = {"method", "url",      "headers", "body",     "timeout",
                                          "allow_redirects", "redirect", "cache", "priority", "chunked"};
constexpr const char* kWebSocketParams[] = {"url", "origin", "headers", "timeout", "protocols", "deflate"};

const MethodDef kMethods[] = {
    {"request", MethodKind::Args, {kRequestParams, 10, 2}, engine_request},
    {"websocket", MethodKind::Args, {kWebSocketParams, 6, 1}, engine_websocket},
};

}  // namespace

const MethodDef* const kEngineMethods = kMethods;
const size_t kEngineMethodCount = sizeof kMethods / sizeof kMethods[0];

}  // namespace vesper
