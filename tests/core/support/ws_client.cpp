#include "support/ws_client.h"

namespace halyard_test {

WebSocketCallbacks WsRecorder::callbacks(WsRecorder* r) {
    WebSocketCallbacks cb{};
    cb.size = sizeof(WebSocketCallbacks);
    cb.abi = HY_ABI_VERSION;
    cb.context = r;
    cb.on_open = &WsRecorder::on_open;
    cb.on_message = &WsRecorder::on_message;
    cb.on_closing = &WsRecorder::on_closing;
    cb.on_close = &WsRecorder::on_close;
    cb.on_error = &WsRecorder::on_error;
    return cb;
}

template <typename P>
bool WsRecorder::wait(std::chrono::milliseconds timeout, P pred) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, pred);
}

bool WsRecorder::wait_open(std::chrono::milliseconds timeout) {
    // The first event is read under the lock: a message may be pushed
    // (and the vector grown) right after the open.
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return !events_.empty(); }) && events_.front().kind == WsEvent::Open;
}

bool WsRecorder::wait_terminal(std::chrono::milliseconds timeout) {
    return wait(timeout, [this] { return terminal_calls_ > 0; });
}

bool WsRecorder::has_messages_locked(size_t count) const {
    size_t n = 0;
    for (const auto& e : events_) n += e.kind == WsEvent::Message;
    return n >= count || terminal_calls_ > 0;
}

bool WsRecorder::wait_messages(size_t count, std::chrono::milliseconds timeout) {
    return wait(timeout, [this, count] { return has_messages_locked(count); });
}

std::vector<WsEvent> WsRecorder::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<WsEvent> WsRecorder::messages() const {
    std::vector<WsEvent> out;
    for (auto& e : events())
        if (e.kind == WsEvent::Message) out.push_back(e);
    return out;
}

WsEvent WsRecorder::terminal() const {
    std::lock_guard lock(mutex_);
    for (const auto& e : events_)
        if (e.kind == WsEvent::Close || e.kind == WsEvent::Error) return e;
    return WsEvent{WsEvent::Open};
}

int WsRecorder::terminal_calls() const {
    std::lock_guard lock(mutex_);
    return terminal_calls_;
}

bool WsRecorder::event_after_terminal() const {
    std::lock_guard lock(mutex_);
    return after_terminal_;
}

int32_t WsRecorder::has_messages(void* context) {
    const auto* want = static_cast<const MessageCount*>(context);
    std::lock_guard lock(want->recorder->mutex_);
    return want->recorder->has_messages_locked(want->count) ? 1 : 0;
}

void WsRecorder::push(WsEvent event) {
    event.thread = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    if (terminal_calls_ > 0) after_terminal_ = true;
    if (event.kind == WsEvent::Close || event.kind == WsEvent::Error) ++terminal_calls_;
    events_.push_back(std::move(event));
    cv_.notify_all();
}

namespace {
std::string text(const void* p, uint64_t n) { return n ? std::string(static_cast<const char*>(p), n) : std::string(); }
}  // namespace

void WsRecorder::on_open(void* ctx, hy_websocket*, const char* p, uint64_t pl, const char* e, uint64_t el) {
    static_cast<WsRecorder*>(ctx)->push({WsEvent::Open, 0, 0, 0, 0, text(p, pl), text(e, el)});
}

void WsRecorder::on_message(void* ctx, hy_websocket*, uint32_t type, uint32_t flags, const uint8_t* d, uint64_t n) {
    static_cast<WsRecorder*>(ctx)->push({WsEvent::Message, type, flags, 0, 0, text(d, n), {}});
}

void WsRecorder::on_closing(void* ctx, hy_websocket*) { static_cast<WsRecorder*>(ctx)->push({WsEvent::Closing}); }

void WsRecorder::on_close(void* ctx, hy_websocket*, uint32_t flags, uint16_t code, const char* r, uint64_t rl) {
    static_cast<WsRecorder*>(ctx)->push({WsEvent::Close, code, flags, 0, 0, text(r, rl), {}});
}

void WsRecorder::on_error(void* ctx, hy_websocket* socket, uint32_t result, int32_t net, int32_t response,
                          const char* m, uint64_t ml) {
    // Asked inside on_error: the Core sets the phase before calling it.
    uint32_t phase = HY_TIMEOUT_PHASE_NONE;
    if (hy_websocket_timeout_phase(socket, &phase) != HY_OK) phase = 0xffffffffu;
    static_cast<WsRecorder*>(ctx)->push({WsEvent::Error, result, 0, net, response, text(m, ml), {}, phase});
}

hy_websocket* make_websocket(hy_engine* engine, const WsOptions& o, WsRecorder* r, uint32_t* code) {
    std::vector<ProtocolEntry> protocols;
    for (const auto& p : o.protocols) protocols.push_back({p.data(), p.size()});
    std::vector<HeaderEntry> headers;
    for (const auto& [name, value] : o.headers) headers.push_back({name.data(), name.size(), value.data(), value.size()});
    WebSocketConfig c{};
    c.size = sizeof(WebSocketConfig);
    c.abi = HY_ABI_VERSION;
    c.url = o.url.data();
    c.url_len = o.url.size();
    c.origin = o.origin.data();
    c.origin_len = o.origin.size();
    c.protocols = protocols.empty() ? nullptr : protocols.data();
    c.protocol_count = protocols.size();
    c.headers = headers.empty() ? nullptr : headers.data();
    c.header_count = headers.size();
    c.callbacks = WsRecorder::callbacks(r);
    c.timeout_ms = o.timeout_ms;
    hy_websocket* socket = nullptr;
    uint32_t rc = hy_websocket_create(engine, &c, &socket);
    if (rc == HY_OK && (o.connect_ms || o.handshake_ms)) {
        WebSocketTimeouts t{sizeof(WebSocketTimeouts), HY_ABI_VERSION, o.connect_ms, o.handshake_ms};
        rc = hy_websocket_set_timeouts(socket, &t);
        if (rc != HY_OK) {
            hy_websocket_release(socket);
            socket = nullptr;
        }
    }
    if (code) *code = rc;
    return rc == HY_OK ? socket : nullptr;
}

uint32_t send_text(hy_websocket* socket, const std::string& text) {
    return hy_websocket_send(socket, HY_WS_TEXT, text.empty() ? nullptr : reinterpret_cast<const uint8_t*>(text.data()),
                             text.size());
}

uint32_t send_text_driven(hy_websocket* socket, const std::string& text) {
    return hy_websocket_send_driven(socket, HY_WS_TEXT,
                                    text.empty() ? nullptr : reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

uint32_t send_binary(hy_websocket* socket, const std::string& data) {
    return hy_websocket_send(socket, HY_WS_BINARY, data.empty() ? nullptr : reinterpret_cast<const uint8_t*>(data.data()),
                             data.size());
}

}  // namespace halyard_test
