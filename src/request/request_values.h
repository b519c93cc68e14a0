// Python values of a request's records.
#pragma once

#include "module/pytext.h"
#include "request/py_request.h"
#include "request/request_state.h"

namespace vesper {

// (status, raw block as a list of ints or bytes, location, method)
Result<PyRef> redirect_tuple(const RedirectRecord& record, EventForm form = EventForm::Lists);
// (status, head block as a list of ints or bytes)
Result<PyRef> head_tuple(const Head& head, EventForm form = EventForm::Lists);

// A failed request raised from a wait: CoreFailure with the request failure
// text and the network error (a failure the module found itself: its own
// text, no network error).
Failure request_failure(const RequestFailure& failure);
// The same as a value: the "error" event of the bytes form.
Result<PyRef> request_failure_value(const RequestFailure& failure);

}  // namespace vesper
