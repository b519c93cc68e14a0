// Placeholder entry points until the Core lands: every operation refuses.
#include "core/halyard.h"

extern "C" {
HY_API uint32_t hy_abi_version(void) { return HY_ABI_VERSION; }
HY_API const char* hy_version_string(void) { return "halyard/0.0.0"; }
HY_API uint32_t hy_engine_create(const EngineConfig*, hy_engine**) { return HY_INITIALIZATION_FAILED; }
HY_API void hy_engine_release(hy_engine*) {}
HY_API uint32_t hy_request_create(hy_engine*, const RequestConfig*, hy_request**) { return HY_INVALID_STATE; }
HY_API uint32_t hy_request_start(hy_request*) { return HY_INVALID_STATE; }
HY_API uint32_t hy_request_cancel(hy_request*) { return HY_INVALID_STATE; }
HY_API uint32_t hy_request_resume_read(hy_request*) { return HY_INVALID_STATE; }
HY_API uint32_t hy_request_upload_write(hy_request*, const uint8_t*, uint64_t, uint32_t) { return HY_INVALID_STATE; }
HY_API uint32_t hy_request_follow_redirect(hy_request*) { return HY_INVALID_STATE; }
HY_API void hy_request_release(hy_request*) {}
HY_API uint32_t hy_websocket_create(hy_engine*, const WebSocketConfig*, hy_websocket**) { return HY_INVALID_STATE; }
HY_API uint32_t hy_websocket_start(hy_websocket*) { return HY_INVALID_STATE; }
HY_API uint32_t hy_websocket_send(hy_websocket*, uint32_t, const uint8_t*, uint64_t) { return HY_INVALID_STATE; }
HY_API uint32_t hy_websocket_close(hy_websocket*, uint16_t, const char*, uint64_t) { return HY_INVALID_STATE; }
HY_API uint32_t hy_websocket_cancel(hy_websocket*) { return HY_INVALID_STATE; }
HY_API void hy_websocket_release(hy_websocket*) {}
}
