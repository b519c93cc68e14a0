// The Core functions beyond the seventeen every Core offers.  The module
// links only those seventeen, so it loads beside any Core; the others are
// looked up once, at import, in the library that answers hy_abi_version,
// and each feature built on one falls back to the seventeen without it.
#pragma once

#include "halyard.h"

namespace vesper {

// X(name): one extension, hy_<name> in the Core, hy_<name>_fn its type.
#define VESPER_CORE_EXTENSIONS(X) \
    X(request_upload_push)        \
    X(request_upload_wait)        \
    X(request_record_sent_heads)  \
    X(request_sent_heads)         \
    X(request_set_upload_length)  \
    X(request_set_max_redirects)  \
    X(request_from_cache)         \
    X(websocket_set_deflate)      \
    X(engine_create_with_options) \
    X(engine_cookies)             \
    X(engine_create_with_client_certificate) \
    X(request_start_driven)       \
    X(request_drive)              \
    X(websocket_drive)            \
    X(request_set_timeouts)       \
    X(request_timeout_phase)      \
    X(engine_loop_attach)         \
    X(engine_loop_drive)          \
    X(engine_loop_detach)         \
    X(websocket_take_message)     \
    X(message_release)            \
    X(websocket_set_timeouts)     \
    X(websocket_timeout_phase)    \
    X(websocket_send_driven)

// Each pointer is null when the loaded Core lacks that function.
struct CoreExtensions {
#define VESPER_EXTENSION_FIELD(name) hy_##name##_fn name = nullptr;
    VESPER_CORE_EXTENSIONS(VESPER_EXTENSION_FIELD)
#undef VESPER_EXTENSION_FIELD
};

// Looks the extensions up in the Core this module is bound to; called once
// by the module's initialisation, before any Core call.
void find_core_extensions();

const CoreExtensions& core_extensions();

// The names (hy_...) of the extensions found, in the list's order.
template <class Visit>
void for_each_core_extension(Visit&& visit) {
    const CoreExtensions& found = core_extensions();
#define VESPER_EXTENSION_VISIT(name) visit("hy_" #name, found.name != nullptr);
    VESPER_CORE_EXTENSIONS(VESPER_EXTENSION_VISIT)
#undef VESPER_EXTENSION_VISIT
}

}  // namespace vesper
