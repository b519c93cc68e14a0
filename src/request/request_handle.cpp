#include "request/request_handle.h"

#include "module/core_extensions.h"

namespace vesper {

namespace {

RequestState* state_of(void* context) { return static_cast<RequestState*>(context); }

// A callback fault fails the request in the module; the Core request is
// cancelled from the callback itself (the Core takes the command after the
// callback returns), so the download stops instead of running on unread.
void cancel_after_fault(RequestState* state, hy_request* request) {
    if (state->take_cancel_request()) hy_request_cancel(request);
}

// Each callback marks its thread as the request's network thread while it
// runs, the notifier it fires included (module/network_thread.h).
void response_callback(void* context, hy_request* request, int32_t status, const uint8_t* head, uint64_t len) {
    CallbackScope scope(state_of(context)->network());
    state_of(context)->on_response(status, head, len);
    cancel_after_fault(state_of(context), request);
}

int32_t data_callback(void* context, hy_request* request, const uint8_t* data, uint64_t len) {
    CallbackScope scope(state_of(context)->network());
    const int32_t answer = state_of(context)->on_data(data, len);
    cancel_after_fault(state_of(context), request);
    return answer;
}

void complete_callback(void* context, hy_request* request, uint32_t result, int32_t net_error) {
    CallbackScope scope(state_of(context)->network());
    // Which phase ran out, from a Core that keeps phase limits: the Core
    // sets it before this callback.
    uint32_t phase = HY_TIMEOUT_PHASE_NONE;
    if (result == HY_TIMEOUT) {
        if (const auto ask = core_extensions().request_timeout_phase; ask != nullptr && ask(request, &phase) != HY_OK)
            phase = HY_TIMEOUT_PHASE_NONE;
    }
    state_of(context)->on_complete(result, net_error, phase);
}

void redirect_callback(void* context, hy_request* request, int32_t status, const uint8_t* raw, uint64_t raw_len,
                       const char* location, uint64_t location_len, const char* method, uint64_t method_len) {
    CallbackScope scope(state_of(context)->network());
    state_of(context)->on_redirect(status, raw, raw_len, location, location_len, method, method_len);
    cancel_after_fault(state_of(context), request);
}

}  // namespace

RequestCallbacks request_callbacks(RequestState* state) {
    RequestCallbacks callbacks{};
    callbacks.size = sizeof(RequestCallbacks);
    callbacks.abi = HY_ABI_VERSION;
    callbacks.context = state;
    callbacks.on_response = response_callback;
    callbacks.on_data = data_callback;
    callbacks.on_complete = complete_callback;
    callbacks.on_redirect = redirect_callback;
    return callbacks;
}

}  // namespace vesper
