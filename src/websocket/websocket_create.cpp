// PyEngine.websocket: the arguments of one connection become a
// WebSocketConfig and a Core WebSocket, wrapped in a new PyWebSocket.
#include "module/record_fields.h"
#include "engine/py_engine.h"
#include "websocket/py_websocket.h"

namespace vesper {

namespace {

enum Param { kUrl, kOrigin, kHeaders, kTimeout, kProtocols };

struct WebSocketOptions {
    std::string url;
    std::string origin;
    std::vector<std::string> protocols;
    HeaderList headers;
    std::optional<Duration> timeout;
};

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
    TRY_ASSIGN(o.timeout, check_timeout(seconds));
    return o;
}

Result<std::shared_ptr<WebSocketHandle>> create_websocket(hy_engine* engine, const WebSocketOptions& o) {
    // One count for the handle, one for the Core's callback context.
    Shared<WebSocketState> state = make_shared_ref<WebSocketState>();
    state->retain();

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
    if (result != HY_OK || core == nullptr) {
        state->drop_context_reference();
        return Failure::core(creation_error(result));
    }
    // As for requests: the owner's allocation failing must not leak the
    // Core connection.
    try {
        return std::make_shared<WebSocketHandle>(core, std::move(state));
    } catch (const std::bad_alloc&) {
        hy_websocket_release(core);
        state->drop_context_reference();
        PyErr_NoMemory();
        return Failure::fetch();
    }
}

}  // namespace

Result<PyRef> engine_websocket(PyObject* engine, const Args& args) {
    TRY_ASSIGN(WebSocketOptions options, convert_options(args));
    TRY_ASSIGN(hy_engine* core_engine, engine_core_handle(engine));
    TRY_ASSIGN(std::shared_ptr<WebSocketHandle> handle, create_websocket(core_engine, options));
    return new_instance<WebSocketContents>(ClassId::WebSocket, std::move(handle));
}

}  // namespace vesper
