#include "request/request_values.h"

namespace vesper {

Result<PyRef> redirect_tuple(const RedirectRecord& record) {
    TRY_ASSIGN(PyRef status, make_int(record.status));
    TRY_ASSIGN(PyRef raw, make_byte_list(record.raw.data(), record.raw.size()));
    TRY_ASSIGN(PyRef location, make_str(record.location));
    TRY_ASSIGN(PyRef method, make_str(record.method));
    return make_tuple(std::move(status), std::move(raw), std::move(location), std::move(method));
}

Result<PyRef> head_tuple(const Head& head) {
    TRY_ASSIGN(PyRef status, make_int(head.status));
    TRY_ASSIGN(PyRef block, make_byte_list(head.block.data(), head.block.size()));
    return make_tuple(std::move(status), std::move(block));
}

}  // namespace vesper
