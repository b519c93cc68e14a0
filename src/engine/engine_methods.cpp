// PyEngine's instance methods: the factories of requests and WebSockets.
#include "engine/py_engine.h"
#include "request/py_request.h"
#include "websocket/py_websocket.h"

namespace vesper {

namespace {

constexpr const char* kRequestParams[] = {"method", "url",      "headers", "body",     "timeout",
                                          "allow_redirects", "redirect", "cache", "priority", "chunked"};
constexpr const char* kWebSocketParams[] = {"url", "origin", "headers", "timeout", "protocols", "deflate"};
constexpr const char* kCookiesParams[] = {"command"};
constexpr const char* kCookiesDoc =
    "cookies(command='') -> str\n"
    "Applies `command` to the engine's cookie jar (one cookies.txt line, an\n"
    "expired one deleting that cookie, or 'ALL' to empty it), then returns\n"
    "the jar as cookies.txt lines, each ending in a newline.";

const MethodDef kMethods[] = {
    {"request", MethodKind::Args, {kRequestParams, 10, 2}, engine_request},
    {"websocket", MethodKind::Args, {kWebSocketParams, 6, 1}, engine_websocket},
    {"cookies", MethodKind::Args, {kCookiesParams, 1, 0}, engine_cookies, kCookiesDoc},
};

}  // namespace

const MethodDef* const kEngineMethods = kMethods;
const size_t kEngineMethodCount = sizeof kMethods / sizeof kMethods[0];

}  // namespace vesper
