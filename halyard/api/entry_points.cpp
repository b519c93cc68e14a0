// The C entry points.  Each one is a thin, noexcept shell: it checks its
// handles, calls into the Core and turns any C++ exception into a result
// code, so that none crosses the C interface.
#include <new>

#include "api/config.h"
#include "api/entry_shell.h"
#include "api/record_fields.h"
#include "halyard.h"
#include "loop/engine.h"
#include "http/request.h"
#include "api/version.h"
#include "websocket/websocket.h"
#include "websocket/config.h"
#include "websocket/taken_message.h"

namespace {

using halyard::guarded;

halyard::Request* as_request(hy_request* handle) { return static_cast<halyard::Request*>(handle); }
halyard::WebSocket* as_websocket(hy_websocket* handle) { return static_cast<halyard::WebSocket*>(handle); }

}  // namespace

extern "C" {

HY_API uint32_t hy_abi_version(void) { return HY_ABI_VERSION; }

HY_API const char* hy_version_string(void) {
    try {
        return halyard::version_string();
    } catch (...) {
        return nullptr;
    }
}

HY_API uint32_t hy_engine_create(const EngineConfig* config, hy_engine** out) {
    return guarded(HY_INITIALIZATION_FAILED, [&]() -> uint32_t {
        if (out == nullptr) return HY_INVALID_ARGUMENT;
        *out = nullptr;
        halyard::EngineSettings settings;
        if (uint32_t rc = halyard::read_engine_config(config, settings); rc != HY_OK) return rc;
        return halyard::hand_out_engine(std::move(settings), out);
    });
}

HY_API uint32_t hy_engine_create_with_client_certificate(const EngineConfig* config, const uint8_t* chain,
                                                         uint64_t chain_len, const uint8_t* key, uint64_t key_len,
                                                         const uint8_t* password, uint64_t password_len,
                                                         uint32_t* problem, hy_engine** out) {
    return guarded(HY_INITIALIZATION_FAILED, [&]() -> uint32_t {
        if (out == nullptr || problem == nullptr) return HY_INVALID_ARGUMENT;
        *out = nullptr;
        *problem = HY_CLIENT_CERT_OK;
        if ((chain == nullptr && chain_len != 0) || (key == nullptr && key_len != 0) ||
            (password == nullptr && password_len != 0))
            return HY_INVALID_ARGUMENT;
        halyard::EngineSettings settings;
        if (uint32_t rc = halyard::read_engine_config(config, settings); rc != HY_OK) return rc;
        // A shared pool would let another engine's transfer reuse a
        // connection this certificate authenticated.
        if (!settings.profile_namespace.empty()) {
            *problem = HY_CLIENT_CERT_SHARED;
            return HY_INVALID_ARGUMENT;
        }
        settings.client_certificate = halyard::ClientCertificate::from_pem(
            chain, static_cast<size_t>(chain_len), key, static_cast<size_t>(key_len), password,
            static_cast<size_t>(password_len), *problem);
        if (!settings.client_certificate) return HY_INVALID_ARGUMENT;
        return halyard::hand_out_engine(std::move(settings), out);
    });
}

HY_API void hy_engine_release(hy_engine* engine) {
    if (engine == nullptr) return;
    std::shared_ptr<halyard::Engine> core = std::move(engine->engine);
    delete engine;
    core->drop_user();
}

HY_API uint32_t hy_request_create(hy_engine* engine, const RequestConfig* config, hy_request** out) {
    return guarded(HY_INITIALIZATION_FAILED, [&]() -> uint32_t {
        if (out == nullptr) return HY_INVALID_ARGUMENT;
        *out = nullptr;
        if (engine == nullptr) return HY_INVALID_ARGUMENT;
        halyard::RequestSpec spec;
        if (uint32_t rc = halyard::read_request_config(config, spec); rc != HY_OK) return rc;
        *out = halyard::Request::create(engine->engine, std::move(spec));
        return HY_OK;
    });
}

HY_API uint32_t hy_request_start(hy_request* request) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->start(); });
}

HY_API uint32_t hy_request_start_driven(hy_request* request) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->start_driven(); });
}

HY_API uint32_t hy_request_drive(hy_request* request, uint64_t timeout_ms, hy_wait_condition until, void* context) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->drive(timeout_ms, until, context); });
}

HY_API uint32_t hy_request_cancel(hy_request* request) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->cancel(); });
}

HY_API uint32_t hy_request_resume_read(hy_request* request) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->resume_read(); });
}

HY_API uint32_t hy_request_upload_write(hy_request* request, const uint8_t* data, uint64_t len,
                                        uint32_t is_final) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE,
                   [&] { return as_request(request)->upload_write(data, len, is_final); });
}

HY_API uint32_t hy_request_upload_push(hy_request* request, const uint8_t* data, uint64_t len,
                                       uint32_t is_final) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE,
                   [&] { return as_request(request)->upload_push(data, len, is_final); });
}

HY_API uint32_t hy_request_upload_wait(hy_request* request, uint64_t timeout_ms, uint32_t* held) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->upload_wait(timeout_ms, held); });
}

HY_API uint32_t hy_request_follow_redirect(hy_request* request) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->follow_redirect(); });
}

HY_API uint32_t hy_request_record_sent_heads(hy_request* request) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->record_sent_heads(); });
}

HY_API uint32_t hy_request_sent_heads(hy_request* request, uint8_t* buffer, uint64_t capacity, uint64_t* len) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->sent_heads(buffer, capacity, len); });
}

HY_API uint32_t hy_request_set_upload_length(hy_request* request, uint64_t length) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->set_upload_length(length); });
}

HY_API uint32_t hy_request_set_max_redirects(hy_request* request, uint32_t limit) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->set_max_redirects(limit); });
}

HY_API uint32_t hy_request_from_cache(hy_request* request, uint32_t* from_cache) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->from_cache(from_cache); });
}

HY_API uint32_t hy_request_set_timeouts(hy_request* request, const RequestTimeouts* timeouts) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    if (const uint32_t checked = halyard::check_record_header(timeouts); checked != HY_OK) return checked;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->set_timeouts(*timeouts); });
}

HY_API uint32_t hy_request_timeout_phase(hy_request* request, uint32_t* phase) {
    if (request == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_request(request)->timeout_phase(phase); });
}

HY_API void hy_request_release(hy_request* request) {
    if (request == nullptr) return;
    guarded(HY_OK, [&] {
        as_request(request)->release();
        return HY_OK;
    });
}

HY_API uint32_t hy_websocket_create(hy_engine* engine, const WebSocketConfig* config, hy_websocket** out) {
    return guarded(HY_INITIALIZATION_FAILED, [&]() -> uint32_t {
        if (out == nullptr) return HY_INVALID_ARGUMENT;
        *out = nullptr;
        if (engine == nullptr) return HY_INVALID_ARGUMENT;
        halyard::WebSocketSpec spec;
        if (uint32_t rc = halyard::read_websocket_config(config, spec); rc != HY_OK) return rc;
        *out = halyard::WebSocket::create(engine->engine, std::move(spec));
        return HY_OK;
    });
}

HY_API uint32_t hy_websocket_start(hy_websocket* socket) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->start(); });
}

HY_API uint32_t hy_websocket_drive(hy_websocket* socket, uint64_t timeout_ms, hy_wait_condition until,
                                   void* context) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->drive(timeout_ms, until, context); });
}

HY_API uint32_t hy_websocket_set_deflate(hy_websocket* socket, uint32_t flags, uint32_t client_max_window_bits,
                                         uint32_t server_max_window_bits) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&]() -> uint32_t {
        auto offer = halyard::make_deflate_offer(flags, client_max_window_bits, server_max_window_bits);
        if (!offer) return HY_INVALID_ARGUMENT;
        return as_websocket(socket)->set_deflate(*offer);
    });
}

HY_API uint32_t hy_websocket_take_message(hy_websocket* socket, const uint8_t* data, hy_message** out) {
    if (out == nullptr) return HY_INVALID_ARGUMENT;
    *out = nullptr;
    if (socket == nullptr || data == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->take_message(data, out); });
}

HY_API void hy_message_release(hy_message* message) {
    if (message == nullptr) return;
    if (message->shelf) message->shelf->put(std::move(message->bytes));
    delete message;
}

HY_API uint32_t hy_websocket_set_timeouts(hy_websocket* socket, const WebSocketTimeouts* timeouts) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    if (const uint32_t checked = halyard::check_record_header(timeouts); checked != HY_OK) return checked;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->set_timeouts(*timeouts); });
}

HY_API uint32_t hy_websocket_timeout_phase(hy_websocket* socket, uint32_t* phase) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->timeout_phase(phase); });
}

HY_API uint32_t hy_websocket_send(hy_websocket* socket, uint32_t type, const uint8_t* data, uint64_t len) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->send(type, data, len); });
}

HY_API uint32_t hy_websocket_send_driven(hy_websocket* socket, uint32_t type, const uint8_t* data, uint64_t len) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->send_driven(type, data, len); });
}

HY_API uint32_t hy_websocket_close(hy_websocket* socket, uint16_t code, const char* reason, uint64_t reason_len) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->close(code, reason, reason_len); });
}

HY_API uint32_t hy_websocket_cancel(hy_websocket* socket) {
    if (socket == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return as_websocket(socket)->cancel(); });
}

HY_API void hy_websocket_release(hy_websocket* socket) {
    if (socket == nullptr) return;
    guarded(HY_OK, [&] {
        as_websocket(socket)->release();
        return HY_OK;
    });
}

}  // extern "C"
