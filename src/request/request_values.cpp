#include "request/request_values.h"

#include "module/core_failure.h"

namespace vesper {

namespace {

Result<PyRef> block_of(const Bytes& block, EventForm form) {
    if (form == EventForm::Bytes) return make_bytes(block.data(), block.size());
    return make_byte_list(block.data(), block.size());
}

}  // namespace

Result<PyRef> redirect_tuple(const RedirectRecord& record, EventForm form) {
    TRY_ASSIGN(PyRef status, make_int(record.status));
    TRY_ASSIGN(PyRef raw, block_of(record.raw, form));
    TRY_ASSIGN(PyRef location, make_str(record.location));
    TRY_ASSIGN(PyRef method, make_str(record.method));
    return make_tuple(std::move(status), std::move(raw), std::move(location), std::move(method));
}

Result<PyRef> head_tuple(const Head& head, EventForm form) {
    TRY_ASSIGN(PyRef status, make_int(head.status));
    TRY_ASSIGN(PyRef block, block_of(head.block, form));
    return make_tuple(std::move(status), std::move(block));
}

Failure request_failure(const RequestFailure& failure) {
    if (failure.own_text != nullptr) return Failure::core_with_text(failure.error, failure.own_text);
    return Failure::core_request(failure.error, failure.net_error, failure.timeout_phase);
}

Result<PyRef> request_failure_value(const RequestFailure& failure) {
    std::optional<int32_t> net_error;
    if (failure.own_text == nullptr) net_error = failure.net_error;
    return core_failure_value(failure.error, net_error, std::nullopt, failure.text(), failure.timeout_phase);
}

}  // namespace vesper
