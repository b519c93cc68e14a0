// PyWebSocket.set_timeouts: the limits of the way to an open connection
// (connecting, the upgrade handshake), kept by a Core that offers
// hy_websocket_set_timeouts; RuntimeError, naming it, on a Core without.
#include "module/core_extensions.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "websocket/py_websocket.h"

namespace vesper {

Result<PyRef> websocket_set_timeouts(PyObject* self, const Args& args) {
    const auto set = core_extensions().websocket_set_timeouts;
    if (set == nullptr) return Failure::runtime("this Core does not offer hy_websocket_set_timeouts");
    uint64_t ms[2] = {};
    for (size_t i = 0; i < 2; ++i) {
        TRY_ASSIGN(std::optional<Duration> limit, optional_timeout(args, i));
        // A limit under a millisecond stays a limit (1 ms), never "none".
        if (limit) ms[i] = limit->wait_millis();
    }
    WebSocketTimeouts record{};
    record.size = sizeof(WebSocketTimeouts);
    record.abi = HY_ABI_VERSION;
    record.connect_ms = ms[0];
    record.handshake_ms = ms[1];
    TRY_STATUS(core_status(set(websocket_of(self).handle->core(), &record)));
    return none();
}

}  // namespace vesper
