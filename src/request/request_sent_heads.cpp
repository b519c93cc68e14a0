// The request heads as the Core sent them: record_sent_heads asks for them
// before start (the Core keeps nothing otherwise), sent_heads_bytes copies
// out what was sent so far.  A Core without these functions keeps no heads:
// both then raise, and the package says so instead of showing a guess.
#include <vector>

#include "module/core_extensions.h"
#include "module/pytext.h"
#include "request/py_request.h"

namespace vesper {

namespace {

constexpr const char* kNoSentHeads = "this Core does not record the heads it sends";

}  // namespace

Result<PyRef> request_record_sent_heads(PyObject* self, const Args&) {
    const auto record = core_extensions().request_record_sent_heads;
    if (record == nullptr) return Failure::runtime(kNoSentHeads);
    TRY_STATUS(core_status(record(request_of(self).handle->core())));
    return none();
}

Result<PyRef> request_sent_heads_bytes(PyObject* self, const Args&) {
    const auto sent_heads = core_extensions().request_sent_heads;
    if (sent_heads == nullptr) return Failure::runtime(kNoSentHeads);
    hy_request* core = request_of(self).handle->core();
    std::vector<uint8_t> buffer;
    uint64_t len = 0;
    // The network thread may add a head between the two calls: ask again
    // until the copy holds everything (the Core's bound ends this).
    TRY_STATUS(core_status(sent_heads(core, nullptr, 0, &len)));
    while (len > buffer.size()) {
        buffer.resize(static_cast<size_t>(len));
        TRY_STATUS(core_status(sent_heads(core, buffer.data(), buffer.size(), &len)));
    }
    return make_bytes(buffer.data(), static_cast<size_t>(len));
}

}  // namespace vesper
