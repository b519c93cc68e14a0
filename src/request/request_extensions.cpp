// Request calls built on Core extensions the package uses: a streamed
// body's declared length, the request's own redirect limit, the limits of
// its phases, and whether the cache answered.  Each raises, naming what the loaded Core lacks,
// when that extension is missing (the package asks core_extensions first).
#include <limits>

#include "module/core_extensions.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"

namespace vesper {

namespace {

Failure missing(const char* name) {
    return Failure::runtime(std::string("this Core does not offer ") + name);
}

}  // namespace

Result<PyRef> request_set_upload_length(PyObject* self, const Args& args) {
    const auto set = core_extensions().request_set_upload_length;
    if (set == nullptr) return missing("hy_request_set_upload_length");
    TRY_ASSIGN(uint64_t length, args.convert(0, to_count));
    TRY_STATUS(core_status(set(request_of(self).handle->core(), length)));
    return none();
}

Result<PyRef> request_set_max_redirects(PyObject* self, const Args& args) {
    const auto set = core_extensions().request_set_max_redirects;
    if (set == nullptr) return missing("hy_request_set_max_redirects");
    TRY_ASSIGN(uint64_t limit, args.convert(0, to_count));
    if (limit > std::numeric_limits<uint32_t>::max()) return Failure::value_error("limit is too large");
    TRY_STATUS(core_status(set(request_of(self).handle->core(), static_cast<uint32_t>(limit))));
    return none();
}

Result<PyRef> request_set_timeouts(PyObject* self, const Args& args) {
    const auto set = core_extensions().request_set_timeouts;
    if (set == nullptr) return missing("hy_request_set_timeouts");
    TRY_ASSIGN(auto ms, phase_limits_ms<4>(args));
    RequestTimeouts record{};
    record.size = sizeof(RequestTimeouts);
    record.abi = HY_ABI_VERSION;
    record.connect_ms = ms[0];
    record.read_ms = ms[1];
    record.write_ms = ms[2];
    record.pool_ms = ms[3];
    TRY_STATUS(core_status(set(request_of(self).handle->core(), &record)));
    return none();
}

Result<PyRef> request_from_cache(PyObject* self, const Args&) {
    const auto ask = core_extensions().request_from_cache;
    if (ask == nullptr) return missing("hy_request_from_cache");
    uint32_t answer = 0;
    TRY_STATUS(core_status(ask(request_of(self).handle->core(), &answer)));
    return boolean(answer != 0);
}

}  // namespace vesper
