// Streamed uploads: each piece is lent to the Core for one call, with the
// interpreter lock given up while the Core copies it.  The wait for room
// that follows (the queue's back-pressure) runs in slices so that Ctrl-C
// ends it: the request is then cancelled and the signal's exception raised.
#include "module/byte_buffer.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"

namespace vesper {

namespace {

Status write_piece(PyObject* self, const uint8_t* data, size_t len, bool final_piece) {
    RequestContents& request = request_of(self);
    // Refused before the piece goes in: a write that found room would not
    // wait, but which one does is a race, and the rule is the same for all.
    TRY_STATUS(refuse_on_network_thread(request));
    hy_request* core = request.handle->core();
    uint32_t result;
    {
        GilRelease release;
        result = hy_request_upload_push(core, len == 0 ? nullptr : data, len, final_piece ? 1 : 0);
    }
    TRY_STATUS(core_status(result));
    Result<bool> waited = wait_in_slices(WaitDeadline(std::nullopt), [&](uint64_t ms) {
        uint32_t held = 0;
        result = hy_request_upload_wait(core, ms, &held);
        return held == 0;
    });
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    return core_status(result);
}

}  // namespace

Result<PyRef> request_upload_write(PyObject* self, const Args& args) {
    // Lent in place (bytes, exported buffers) while the Core takes it with
    // the interpreter lock given up.
    TRY_ASSIGN(ByteInput data, args.convert(0, [](PyObject* o) { return to_byte_input(o, true); }));
    TRY_ASSIGN(bool final_chunk, args.convert(1, to_flag));
    TRY_STATUS(write_piece(self, data.data(), data.size(), final_chunk));
    return none();
}

Result<PyRef> request_upload_finish(PyObject* self, const Args&) {
    TRY_STATUS(write_piece(self, nullptr, 0, true));
    return none();
}

}  // namespace vesper
