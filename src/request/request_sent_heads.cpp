// The request heads as the Core sent them: record_sent_heads asks for them
// before start (the Core keeps nothing otherwise), sent_heads_bytes copies
// out what was sent so far.
#include <vector>

#include "module/pytext.h"
#include "request/py_request.h"

namespace vesper {

Result<PyRef> request_record_sent_heads(PyObject* self, const Args&) {
    TRY_STATUS(core_status(hy_request_record_sent_heads(request_of(self).handle->core())));
    return none();
}

Result<PyRef> request_sent_heads_bytes(PyObject* self, const Args&) {
    hy_request* core = request_of(self).handle->core();
    std::vector<uint8_t> buffer;
    uint64_t len = 0;
    // The network thread may add a head between the two calls: ask again
    // until the copy holds everything (the Core's bound ends this).
    TRY_STATUS(core_status(hy_request_sent_heads(core, nullptr, 0, &len)));
    while (len > buffer.size()) {
        buffer.resize(static_cast<size_t>(len));
        TRY_STATUS(core_status(hy_request_sent_heads(core, buffer.data(), buffer.size(), &len)));
    }
    return make_bytes(buffer.data(), static_cast<size_t>(len));
}

}  // namespace vesper
