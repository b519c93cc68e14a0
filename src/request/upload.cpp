// Streamed uploads: each piece is lent to the Core for one call, with the
// interpreter lock given up while the Core copies it.  With a Core that
// splits the write from its wait for room (the queue's back-pressure), the
// wait runs in slices so that Ctrl-C ends it: the request is then cancelled
// and the signal's exception raised.  Without that, hy_request_upload_write
// queues and waits in one call.
#include "module/byte_buffer.h"
#include "module/core_extensions.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"

namespace vesper {

namespace {

constexpr const char* kNoPush = "this Core cannot queue an upload piece without waiting (hy_request_upload_push)";

Status write_piece(PyObject* self, const uint8_t* data, size_t len, bool final_piece) {
    RequestContents& request = request_of(self);
    // Refused before the piece goes in: a write that found room would not
    // wait, but which one does is a race, and the rule is the same for all.
    TRY_STATUS(refuse_on_network_thread(request));
    hy_request* core = request.handle->core();
    const uint8_t* piece = len == 0 ? nullptr : data;
    const uint32_t is_final = final_piece ? 1 : 0;
    const CoreExtensions& core_has = core_extensions();
    uint32_t result;
    if (core_has.request_upload_push == nullptr || core_has.request_upload_wait == nullptr) {
        GilRelease release;
        result = hy_request_upload_write(core, piece, len, is_final);
        return core_status(result);
    }
    {
        GilRelease release;
        result = core_has.request_upload_push(core, piece, len, is_final);
    }
    TRY_STATUS(core_status(result));
    Result<bool> waited = wait_in_slices(WaitDeadline(std::nullopt), [&](uint64_t ms) {
        uint32_t held = 0;
        result = core_has.request_upload_wait(core, ms, &held);
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

Result<PyRef> request_upload_offer(PyObject* self, const Args& args) {
    const CoreExtensions& core_has = core_extensions();
    if (core_has.request_upload_push == nullptr || core_has.request_upload_wait == nullptr)
        return Failure::runtime(kNoPush);
    TRY_ASSIGN(ByteInput data, args.convert(0, [](PyObject* o) { return to_byte_input(o, true); }));
    TRY_ASSIGN(bool final_chunk, args.convert(1, to_flag));
    RequestContents& request = request_of(self);
    hy_request* core = request.handle->core();
    const uint8_t* piece = data.size() == 0 ? nullptr : data.data();
    uint32_t held = 0;
    uint32_t result;
    {
        GilRelease release;
        result = core_has.request_upload_push(core, piece, data.size(), final_chunk ? 1 : 0);
        if (result == HY_OK) result = core_has.request_upload_wait(core, 0, &held);
    }
    TRY_STATUS(core_status(result));
    return boolean(held != 0);
}

Result<PyRef> request_upload_held(PyObject* self, const Args&) {
    const CoreExtensions& core_has = core_extensions();
    if (core_has.request_upload_wait == nullptr)
        return Failure::runtime(kNoPush);
    uint32_t held = 0;
    const uint32_t result = core_has.request_upload_wait(request_of(self).handle->core(), 0, &held);
    TRY_STATUS(core_status(result));
    return boolean(held != 0);
}

Result<PyRef> request_upload_finish(PyObject* self, const Args&) {
    TRY_STATUS(write_piece(self, nullptr, 0, true));
    return none();
}

}  // namespace vesper
