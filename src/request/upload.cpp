// Streamed uploads: each piece is lent to the Core for one call, with the
// interpreter lock given up while the Core takes it (it may wait for room).
#include "module/pytext.h"
#include "request/py_request.h"

namespace vesper {

namespace {

Status write_piece(PyObject* self, const Bytes& data, bool final_piece) {
    hy_request* core = request_of(self).handle->core();
    uint32_t result;
    {
        GilRelease release;
        result = hy_request_upload_write(core, data.empty() ? nullptr : data.data(), data.size(), final_piece ? 1 : 0);
    }
    return core_status(result);
}

}  // namespace

Result<PyRef> request_upload_write(PyObject* self, const Args& args) {
    TRY_ASSIGN(Bytes data, args.convert(0, to_bytes));
    TRY_ASSIGN(bool final_chunk, args.convert(1, to_flag));
    TRY_STATUS(write_piece(self, data, final_chunk));
    return none();
}

Result<PyRef> request_upload_finish(PyObject* self, const Args&) {
    TRY_STATUS(write_piece(self, Bytes(), true));
    return none();
}

}  // namespace vesper
