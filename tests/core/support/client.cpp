#include "support/client.h"

#include <sstream>

#include "loop/engine.h"

namespace halyard_test {

namespace {
void set_text(const char*& ptr, uint64_t& len, const std::string& text) {
    ptr = text.empty() ? nullptr : text.data();
    len = text.size();
}
}  // namespace

EngineConfig engine_config(const EngineOptions& o) {
    EngineConfig c{};
    c.size = sizeof(EngineConfig);
    c.abi = HY_ABI_VERSION;
    set_text(c.user_agent, c.user_agent_len, o.user_agent);
    set_text(c.accept_language, c.accept_language_len, o.accept_language);
    set_text(c.proxy, c.proxy_len, o.proxy);
    set_text(c.proxy_username, c.proxy_username_len, o.proxy_username);
    set_text(c.proxy_password, c.proxy_password_len, o.proxy_password);
    c.http_version = o.http_version;
    c.tls_verify = o.tls_verify;
    c.ca_bundle = o.ca_bundle.empty() ? nullptr : reinterpret_cast<const uint8_t*>(o.ca_bundle.data());
    c.ca_bundle_len = o.ca_bundle.size();
    set_text(c.impersonate, c.impersonate_len, o.impersonate);
    set_text(c.profile_namespace, c.profile_namespace_len, o.profile_namespace);
    c.cache_disabled = o.cache_disabled;
    return c;
}

EnginePtr make_engine(const EngineOptions& o, uint32_t* code) {
    EngineConfig c = engine_config(o);
    hy_engine* engine = nullptr;
    const uint32_t rc = hy_engine_create(&c, &engine);
    if (code) *code = rc;
    return EnginePtr(rc == HY_OK ? engine : nullptr);
}

RequestCallbacks Recorder::callbacks(Recorder* r) {
    RequestCallbacks cb{};
    cb.size = sizeof(RequestCallbacks);
    cb.abi = HY_ABI_VERSION;
    cb.context = r;
    cb.on_response = &Recorder::on_response;
    cb.on_data = &Recorder::on_data;
    cb.on_complete = &Recorder::on_complete;
    cb.on_redirect = &Recorder::on_redirect;
    return cb;
}

void Recorder::note_thread() {
    if (thread_ == std::thread::id()) thread_ = std::this_thread::get_id();
    if (thread_ != std::this_thread::get_id()) one_thread_ = false;
    if (complete_calls_ > 0) after_complete_ = true;
}

void Recorder::on_response(void* ctx, hy_request*, int32_t status, const uint8_t* head, uint64_t len) {
    auto* r = static_cast<Recorder*>(ctx);
    std::lock_guard lock(r->mutex_);
    r->note_thread();
    r->status_ = status;
    r->head_.assign(reinterpret_cast<const char*>(head), len);
    ++r->responses_;
    r->cv_.notify_all();
}

int32_t Recorder::on_data(void* ctx, hy_request*, const uint8_t* data, uint64_t len) {
    auto* r = static_cast<Recorder*>(ctx);
    std::lock_guard lock(r->mutex_);
    r->note_thread();
    r->body_.append(reinterpret_cast<const char*>(data), len);
    int32_t answer = HY_DATA_CONTINUE;
    if (r->pause_threshold > 0 && r->body_.size() - r->consumed_ >= r->pause_threshold) {
        r->paused_ = true;
        ++r->pauses_;
        answer = HY_DATA_PAUSE;
    }
    r->cv_.notify_all();
    return answer;
}

void Recorder::on_complete(void* ctx, hy_request*, uint32_t result, int32_t net) {
    auto* r = static_cast<Recorder*>(ctx);
    std::lock_guard lock(r->mutex_);
    r->note_thread();
    ++r->complete_calls_;
    r->result_ = result;
    r->net_ = net;
    r->cv_.notify_all();
}

void Recorder::on_redirect(void* ctx, hy_request*, int32_t status, const uint8_t* raw, uint64_t raw_len,
                           const char* location, uint64_t location_len, const char* method,
                           uint64_t method_len) {
    auto* r = static_cast<Recorder*>(ctx);
    std::lock_guard lock(r->mutex_);
    r->note_thread();
    r->redirects_.push_back({status, std::string(reinterpret_cast<const char*>(raw), raw_len),
                             std::string(location, location_len), std::string(method, method_len)});
    r->cv_.notify_all();
}

template <typename P>
bool Recorder::wait(std::chrono::milliseconds timeout, P pred) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, pred);
}

bool Recorder::wait_complete(std::chrono::milliseconds t) {
    return wait(t, [&] { return complete_calls_ > 0; });
}
bool Recorder::wait_response(std::chrono::milliseconds t) {
    return wait(t, [&] { return responses_ > 0 || complete_calls_ > 0; });
}
bool Recorder::wait_redirects(size_t n, std::chrono::milliseconds t) {
    return wait(t, [&] { return redirects_.size() >= n || complete_calls_ > 0; });
}
bool Recorder::wait_paused(std::chrono::milliseconds t) {
    return wait(t, [&] { return paused_ || complete_calls_ > 0; });
}
bool Recorder::wait_body_size(size_t n, std::chrono::milliseconds t) {
    return wait(t, [&] { return body_.size() >= n || complete_calls_ > 0; });
}

bool Recorder::consume() {
    std::lock_guard lock(mutex_);
    consumed_ = body_.size();
    const bool was = paused_;
    paused_ = false;
    return was;
}

bool Recorder::complete() const { std::lock_guard l(mutex_); return complete_calls_ > 0; }
uint32_t Recorder::result() const { std::lock_guard l(mutex_); return result_; }
int32_t Recorder::net_error() const { std::lock_guard l(mutex_); return net_; }
int Recorder::complete_calls() const { std::lock_guard l(mutex_); return complete_calls_; }
int Recorder::status() const { std::lock_guard l(mutex_); return status_; }
std::string Recorder::head() const { std::lock_guard l(mutex_); return head_; }
std::string Recorder::body() const { std::lock_guard l(mutex_); return body_; }
std::vector<RedirectSeen> Recorder::redirects() const { std::lock_guard l(mutex_); return redirects_; }
int Recorder::pauses() const { std::lock_guard l(mutex_); return pauses_; }
bool Recorder::one_callback_thread() const { std::lock_guard l(mutex_); return one_thread_; }
bool Recorder::event_after_complete() const { std::lock_guard l(mutex_); return after_complete_; }

hy_request* make_request(hy_engine* engine, const RequestOptions& o, Recorder* r, uint32_t* code) {
    std::vector<HeaderEntry> entries;
    for (const auto& [name, value] : o.headers) {
        HeaderEntry e{};
        set_text(e.name, e.name_len, name);
        set_text(e.value, e.value_len, value);
        entries.push_back(e);
    }
    RequestConfig c{};
    c.size = sizeof(RequestConfig);
    c.abi = HY_ABI_VERSION;
    set_text(c.url, c.url_len, o.url);
    set_text(c.method, c.method_len, o.method);
    c.headers = entries.empty() ? nullptr : entries.data();
    c.header_count = entries.size();
    c.timeout_ms = o.timeout_ms;
    c.callbacks = Recorder::callbacks(r);
    if (o.on_response) c.callbacks.on_response = o.on_response;
    if (o.on_data) c.callbacks.on_data = o.on_data;
    if (o.body_kind == HY_BODY_BYTES) {
        c.body = o.body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(o.body.data());
        c.body_len = o.body.size();
    }
    c.body_kind = o.body_kind;
    c.cache_mode = o.cache_mode;
    c.redirect_mode = o.redirect_mode;
    hy_request* request = nullptr;
    const uint32_t rc = hy_request_create(engine, &c, &request);
    if (code) *code = rc;
    return rc == HY_OK ? request : nullptr;
}

void run_request(hy_engine* engine, const RequestOptions& o, Recorder& r, std::chrono::milliseconds t) {
    hy_request* request = make_request(engine, o, &r);
    if (!request) return;
    if (hy_request_start(request) == HY_OK) r.wait_complete(t);
    hy_request_release(request);
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

uint64_t fnv1a(const std::string& data) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : data) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    return h;
}

std::vector<std::string> echo_values(const std::string& echo, const std::string& key) {
    std::vector<std::string> out;
    std::istringstream in(echo);
    std::string line;
    const std::string prefix = key + ": ";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    }
    return out;
}

bool wait_engine_threads(int count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (halyard::running_engine_threads() > count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace halyard_test
