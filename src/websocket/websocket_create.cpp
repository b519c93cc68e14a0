// PyEngine.websocket: the arguments of one connection become a
// WebSocketConfig and a Core WebSocket, wrapped in a new PyWebSocket.
#include "module/core_extensions.h"
#include "module/record_fields.h"
#include "engine/py_engine.h"
#include "websocket/py_websocket.h"

namespace vesper {

namespace {

enum Param { kUrl, kOrigin, kHeaders, kTimeout, kProtocols, kDeflate };

// The permessage-deflate offer as hy_websocket_set_deflate takes it;
// nullopt in WebSocketOptions keeps the Core's default (the browser's).
struct DeflateChoice {
    uint32_t flags = 0;
    uint32_t client_max_window_bits = 0;
    uint32_t server_max_window_bits = 0;
};

struct WebSocketOptions {
    std::string url;
    std::string origin;
    std::vector<std::string> protocols;
    HeaderList headers;
    std::optional<Duration> timeout;
    std::optional<DeflateChoice> deflate;
};

// True: the browser's offer; False: none; a dict names the offer's
// parameters (client_no_context_takeover, server_no_context_takeover:
// bool; client_max_window_bits, server_max_window_bits: int).  The Core
// checks the window sizes.
Result<std::optional<DeflateChoice>> to_deflate_choice(PyObject* object) {
    if (PyBool_Check(object)) {
        if (object == Py_True) return std::optional<DeflateChoice>();
        return std::optional<DeflateChoice>(DeflateChoice{HY_DEFLATE_OFF, 0, 0});
    }
    if (!PyDict_Check(object)) return Failure::type_error("expected bool or dict");
    DeflateChoice choice;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(object, &at, &key, &value)) {
        TRY_ASSIGN(std::string name, to_text(key));
        if (name == "client_no_context_takeover" || name == "server_no_context_takeover") {
            TRY_ASSIGN(bool on, to_flag(value));
            if (on) {
                choice.flags |= name[0] == 'c' ? HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER
                                               : HY_DEFLATE_SERVER_NO_CONTEXT_TAKEOVER;
            }
        } else if (name == "client_max_window_bits" || name == "server_max_window_bits") {
            TRY_ASSIGN(uint8_t bits, to_byte(value));
            (name[0] == 'c' ? choice.client_max_window_bits : choice.server_max_window_bits) = bits;
        } else {
            return Failure::value_error("unknown permessage-deflate parameter: " + name);
        }
    }
    return std::optional<DeflateChoice>(choice);
}

Result<WebSocketOptions> convert_options(const Args& args) {
    WebSocketOptions o;
    TRY_ASSIGN(o.url, args.convert(kUrl, to_text));
    // Only an absent origin means none; None is refused like any non-str.
    if (args.given(kOrigin)) {
        TRY_ASSIGN(o.origin, args.convert(kOrigin, to_text));
    }
    if (args.given(kHeaders) && args[kHeaders] != Py_None) {
        TRY_ASSIGN(o.headers, args.convert(kHeaders, to_header_pairs));
    }
    std::optional<double> seconds;
    if (args.given(kTimeout)) {
        TRY_ASSIGN(seconds, args.convert(kTimeout, to_seconds));
    }
    if (args.given(kProtocols) && args[kProtocols] != Py_None) {
        TRY_ASSIGN(o.protocols, args.convert(kProtocols, to_text_list));
    }
    if (args.given(kDeflate)) {
        TRY_ASSIGN(o.deflate, args.convert(kDeflate, to_deflate_choice));
    }
    TRY_ASSIGN(o.timeout, check_timeout(seconds));
    return o;
}

Result<std::shared_ptr<WebSocketHandle>> create_websocket(hy_engine* engine, NetworkRef network,
                                                          const WebSocketOptions& o) {
    Shared<WebSocketState> state = WebSocketHandle::new_state();
    state->set_network(std::move(network));

    std::vector<ProtocolEntry> protocols(o.protocols.size());
    for (size_t i = 0; i < o.protocols.size(); ++i) set_text(protocols[i].text, protocols[i].text_len, o.protocols[i]);
    const std::vector<HeaderEntry> headers = header_entries(o.headers);
    WebSocketConfig config{};
    config.size = sizeof(WebSocketConfig);
    config.abi = HY_ABI_VERSION;
    set_text(config.url, config.url_len, o.url);
    set_text(config.origin, config.origin_len, o.origin);
    config.protocols = protocols.empty() ? nullptr : protocols.data();
    config.protocol_count = protocols.size();
    config.headers = headers.empty() ? nullptr : headers.data();
    config.header_count = headers.size();
    config.callbacks = websocket_callbacks(state.get());
    config.timeout_ms = o.timeout ? o.timeout->wait_millis() : 0;

    hy_websocket* core = nullptr;
    const uint32_t result = hy_websocket_create(engine, &config, &core);
    TRY_ASSIGN(auto handle, WebSocketHandle::created(result, core, std::move(state)));
    if (o.deflate) {
        // Not started yet: the handle's release undoes the creation.  A
        // Core that cannot change its offer makes the browser's, which is
        // not what was asked for.
        const auto set_deflate = core_extensions().websocket_set_deflate;
        if (set_deflate == nullptr) {
            return Failure::runtime("this Core cannot change the permessage-deflate offer (deflate must be True)");
        }
        const DeflateChoice& d = *o.deflate;
        if (auto error = check_result(set_deflate(core, d.flags, d.client_max_window_bits, d.server_max_window_bits)))
            return Failure::core(*error);
    }
    return handle;
}

}  // namespace

Result<PyRef> engine_websocket(PyObject* engine, const Args& args) {
    TRY_ASSIGN(WebSocketOptions options, convert_options(args));
    TRY_ASSIGN(hy_engine* core_engine, engine_core_handle(engine));
    TRY_ASSIGN(std::shared_ptr<WebSocketHandle> handle, create_websocket(core_engine, engine_network(engine), options));
    return new_instance<WebSocketContents>(ClassId::WebSocket, std::move(handle));
}

}  // namespace vesper
