// Python values of a request's records.
#pragma once

#include "module/pytext.h"
#include "request/request_state.h"

namespace vesper {

// (status, raw block as a list of ints, location, method)
Result<PyRef> redirect_tuple(const RedirectRecord& record);
// (status, head block as a list of ints)
Result<PyRef> head_tuple(const Head& head);

}  // namespace vesper
