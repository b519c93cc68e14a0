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

constexpr const char* kLoopDriveParams[] = {"hub"};
constexpr const char* kLoopAttachDoc =
    "loop_attach() -> int\n"
    "Attaches the engine's network loop to the calling thread (an event\n"
    "loop's) and returns the descriptor to watch for reading: whenever it is\n"
    "readable, call loop_drive.  -1 when the Core cannot (it lacks\n"
    "hy_engine_loop_attach, or another thread has the engine attached): the\n"
    "engine's network thread then runs the transfers.";
constexpr const char* kLoopDriveDoc =
    "loop_drive(hub) -> float | None\n"
    "Runs one round of the engine's network loop on this thread without\n"
    "waiting; the callbacks run here, and events of `hub` (a PyEventHub)\n"
    "recorded meanwhile schedule no wake-up: poll the hub right after.\n"
    "Returns the seconds until the next round is due at the latest (0.0:\n"
    "at once), None when the engine is not attached to this thread.";
constexpr const char* kLoopDetachDoc =
    "loop_detach() -> bool\n"
    "Ends one loop_attach (stop watching the descriptor first); the network\n"
    "thread runs the transfers again after the last.  False if not attached.";

const MethodDef kMethods[] = {
    {"request", MethodKind::Args, {kRequestParams, 10, 2}, engine_request},
    {"websocket", MethodKind::Args, {kWebSocketParams, 6, 1}, engine_websocket},
    {"cookies", MethodKind::Args, {kCookiesParams, 1, 0}, engine_cookies, kCookiesDoc},
    {"loop_attach", MethodKind::None, kNoParams, engine_loop_attach, kLoopAttachDoc},
    {"loop_drive", MethodKind::Args, {kLoopDriveParams, 1, 1}, engine_loop_drive, kLoopDriveDoc},
    {"loop_detach", MethodKind::None, kNoParams, engine_loop_detach, kLoopDetachDoc},
};

}  // namespace

const MethodDef* const kEngineMethods = kMethods;
const size_t kEngineMethodCount = sizeof kMethods / sizeof kMethods[0];

}  // namespace vesper
