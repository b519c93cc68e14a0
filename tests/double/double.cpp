// A scriptable stand-in for the Core, used by the module's tests.
//
// It implements the Core's hy_* functions with the real Core's SONAME (built
// with HYD_SPECIFIED_ONLY, the seventeen every Core offers and none of the
// extensions, as libhalyard.so in build/double17/),
// keeps a deep copy of every record it is given (as JSON, so the tests read
// them with one call), answers each call with a scripted result, and fires
// callbacks from native threads on command, so they arrive without the
// interpreter lock exactly as from a real Core.  The hyd_* functions are the
// control layer the tests drive through ctypes (see control.py).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "halyard.h"

#define HYD_API extern "C" __attribute__((visibility("default")))

struct hy_engine {
    int id;
    // The jar of hy_engine_cookies: cookies.txt lines (under State::mutex).
    std::vector<std::string> jar;
    // The descriptor of hy_engine_loop_attach (an eventfd never written:
    // the double's callbacks come from its own threads), and the count of
    // attachments (both under State::mutex).
    int loop_fd = -1;
    int loop_attachments = 0;
};

struct hy_request {
    int id;
    RequestCallbacks callbacks;
    bool stream_body;
    std::mutex mutex;
    std::condition_variable resumed;
    uint64_t resume_count = 0;
    bool upload_full = false;  // hy_request_upload_wait times out while set (hyd_upload_full)
    std::condition_variable upload_room;
    std::string sent_heads;  // what hy_request_sent_heads hands out (hyd_set_sent_heads)
    uint32_t from_cache = 0;  // what hy_request_from_cache answers (hyd_set_from_cache)
    uint32_t timeout_phase = 0;  // what hy_request_timeout_phase answers (hyd_set_timeout_phase)
};

struct hy_websocket {
    int id;
    WebSocketCallbacks callbacks;
    std::atomic<uint32_t> timeout_phase{0};  // what hy_websocket_timeout_phase answers (hyd_ws_set_timeout_phase)
    // The message buffer on_message is reporting, and the thread reporting
    // it (hy_websocket_take_message takes it only there).
    std::vector<uint8_t>* offered = nullptr;
    std::thread::id offering_thread;
};

struct hy_message {
    std::vector<uint8_t> bytes;
};

namespace {

struct Scripted {
    uint32_t code;
    bool null_handle;
};

struct AutoResponse {
    bool enabled = false;
    int32_t status = 200;
    std::string body;
};

struct State {
    std::mutex mutex;
    uint32_t abi = HY_ABI_VERSION;
    std::string version = "halyard-double/1.0";
    bool version_null = false;
    bool recording = true;
    std::map<std::string, std::deque<Scripted>> scripts;
    std::map<std::string, uint64_t> calls;
    std::map<std::string, std::vector<std::string>> records;
    std::map<std::string, std::map<int, int>> releases;  // kind -> id -> count
    std::map<std::string, int> last_id;
    std::vector<std::unique_ptr<hy_engine>> engines;
    std::vector<std::unique_ptr<hy_request>> requests;
    std::vector<std::unique_ptr<hy_websocket>> websockets;
    AutoResponse auto_response;
    std::atomic<int> running_threads{0};
};

State& state() {
    static auto* s = new State();
    return *s;
}

// Counts the call and returns its scripted answer (HY_OK by default).
Scripted answer(const char* function) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    ++s.calls[function];
    auto& queue = s.scripts[function];
    if (queue.empty()) return {HY_OK, false};
    Scripted next = queue.front();
    queue.pop_front();
    return next;
}

// ------------------------------------------------------------------ JSON

std::string hex(const void* data, uint64_t len) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < len; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

// A byte range as {"null": .., "len": .., "hex": ..}; the bytes are read
// only when the pointer is set and the length is not 0.
std::string range(const void* ptr, uint64_t len) {
    std::string out = "{\"null\": ";
    out += ptr == nullptr ? "true" : "false";
    out += ", \"len\": " + std::to_string(len) + ", \"hex\": \"";
    if (ptr != nullptr && len != 0) out += hex(ptr, len);
    out += "\"}";
    return out;
}

std::string num(uint64_t v) { return std::to_string(v); }
std::string boolean(bool v) { return v ? "true" : "false"; }

std::string headers_json(const HeaderEntry* headers, uint64_t count) {
    std::string out = "[";
    if (headers != nullptr) {
        for (uint64_t i = 0; i < count; ++i) {
            if (i) out += ", ";
            out += "{\"name\": " + range(headers[i].name, headers[i].name_len) +
                   ", \"value\": " + range(headers[i].value, headers[i].value_len) + "}";
        }
    }
    return out + "]";
}

void record(const char* kind, std::string json) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.recording) s.records[kind].push_back(std::move(json));
}

// Runs `fn` on a new native thread and waits for it: the callback arrives
// on a thread that never held the interpreter lock.
template <class Fn>
void on_native_thread(Fn fn) {
    std::thread(fn).join();
}

template <class Fn>
void detached(Fn fn) {
    State& s = state();
    s.running_threads.fetch_add(1);
    std::thread([fn, &s]() mutable {
        fn();
        s.running_threads.fetch_sub(1);
    }).detach();
}

hy_request* find_request(int id) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& r : s.requests)
        if (r->id == id) return r.get();
    return nullptr;
}

hy_websocket* find_websocket(int id) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& w : s.websockets)
        if (w->id == id) return w.get();
    return nullptr;
}

void release_of(const char* kind, int id) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    ++s.calls[std::string("hy_") + kind + "_release"];
    ++s.releases[kind][id];
}

// Whether the calling thread holds the interpreter lock, by the
// interpreter's own answer (found in the process: the double links no
// Python); false outside an interpreter.
bool interpreter_lock_held() {
    using Check = int (*)();
    static const auto check = reinterpret_cast<Check>(dlsym(RTLD_DEFAULT, "PyGILState_Check"));
    return check != nullptr && check() == 1;
}

// Waits until the module resumes reading after a pause.
void wait_resume(hy_request* r, uint64_t seen) {
    std::unique_lock lock(r->mutex);
    r->resumed.wait(lock, [&] { return r->resume_count > seen; });
}

}  // namespace

// ------------------------------------------------------- the Core interface

extern "C" {

HY_API uint32_t hy_abi_version(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    ++s.calls["hy_abi_version"];
    return s.abi;
}

HY_API const char* hy_version_string(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    ++s.calls["hy_version_string"];
    return s.version_null ? nullptr : s.version.c_str();
}

namespace {

uint32_t create_engine(const char* function, const EngineConfig* c, hy_engine** out, const std::string& options_json) {
    const Scripted a = answer(function);
    std::string json = "{\"size\": " + num(c->size) + ", \"abi\": " + num(c->abi) +
                       ", \"user_agent\": " + range(c->user_agent, c->user_agent_len) +
                       ", \"proxy\": " + range(c->proxy, c->proxy_len) +
                       ", \"proxy_username\": " + range(c->proxy_username, c->proxy_username_len) +
                       ", \"proxy_password\": " + range(c->proxy_password, c->proxy_password_len) +
                       ", \"cache_disabled\": " + num(c->cache_disabled) +
                       ", \"accept_language\": " + range(c->accept_language, c->accept_language_len) +
                       ", \"impersonate\": " + range(c->impersonate, c->impersonate_len) +
                       ", \"profile_namespace\": " + range(c->profile_namespace, c->profile_namespace_len) +
                       ", \"http_version\": " + num(c->http_version) + ", \"tls_verify\": " + num(c->tls_verify) +
                       ", \"ca_bundle\": " + range(c->ca_bundle, c->ca_bundle_len) + options_json + "}";
    record("engine", std::move(json));
    if (a.code != HY_OK || a.null_handle) return a.code;
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto engine = std::make_unique<hy_engine>();
    engine->id = ++s.last_id["engine"];
    *out = engine.get();
    s.engines.push_back(std::move(engine));
    return HY_OK;
}

}  // namespace

HY_API uint32_t hy_engine_create(const EngineConfig* c, hy_engine** out) {
    return create_engine("hy_engine_create", c, out, "");
}

#ifndef HYD_SPECIFIED_ONLY
HY_API uint32_t hy_engine_create_with_options(const EngineConfig* c, const char* options, uint64_t options_len,
                                              hy_engine** out) {
    return create_engine("hy_engine_create_with_options", c, out,
                         ", \"options\": " + range(options, options_len));
}

namespace {

// The cookies.txt fields of a jar line: domain (without #HttpOnly_), path,
// name, and its expiry.
std::string jar_key(const std::string& line, long long* expires) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() < 6) return {};
    std::string domain = f[0].rfind("#HttpOnly_", 0) == 0 ? f[0].substr(10) : f[0];
    *expires = std::atoll(f[4].c_str());
    return domain + "\t" + f[2] + "\t" + f[5];
}

}  // namespace

// A jar of lines: a line replaces the one of the same domain, path and
// name, and an expiry before 2001 deletes it; "ALL" empties it.
HY_API uint32_t hy_engine_cookies(hy_engine* engine, const char* command, uint64_t command_len, uint8_t* buffer,
                                  uint64_t capacity, uint64_t* len) {
    const Scripted a = answer("hy_engine_cookies");
    record("cookies", "{\"engine\": " + std::to_string(engine ? engine->id : -1) +
                          ", \"command\": " + range(command, command_len) + "}");
    if (a.code != HY_OK) return a.code;
    if (engine == nullptr || len == nullptr) return HY_INVALID_ARGUMENT;
    State& s = state();
    std::lock_guard lock(s.mutex);
    const std::string text = command == nullptr ? std::string() : std::string(command, command_len);
    if (text == "ALL") {
        engine->jar.clear();
    } else if (!text.empty()) {
        long long expires = 0;
        const std::string key = jar_key(text, &expires);
        if (key.empty()) return HY_INVALID_ARGUMENT;
        std::erase_if(engine->jar, [&](const std::string& line) {
            long long ignored = 0;
            return jar_key(line, &ignored) == key;
        });
        if (expires == 0 || expires > 978307200) engine->jar.push_back(text);
    }
    std::string out;
    for (const std::string& line : engine->jar) out += line + "\n";
    *len = out.size();
    if (buffer != nullptr && capacity > 0) std::memcpy(buffer, out.data(), std::min<uint64_t>(capacity, out.size()));
    return HY_OK;
}

// Recorded as an "engine" record with the certificate's three fields; a
// scripted HY_INVALID_ARGUMENT reports a wrong password.
HY_API uint32_t hy_engine_create_with_client_certificate(const EngineConfig* c, const uint8_t* chain,
                                                         uint64_t chain_len, const uint8_t* key, uint64_t key_len,
                                                         const uint8_t* password, uint64_t password_len,
                                                         uint32_t* problem, hy_engine** out) {
    const auto text = [](const uint8_t* p, uint64_t n) { return range(reinterpret_cast<const char*>(p), n); };
    const uint32_t code = create_engine("hy_engine_create_with_client_certificate", c, out,
                                        ", \"client_chain\": " + text(chain, chain_len) +
                                            ", \"client_key\": " + text(key, key_len) +
                                            ", \"client_password\": " + text(password, password_len));
    *problem = code == HY_INVALID_ARGUMENT ? HY_CLIENT_CERT_WRONG_PASSWORD : HY_CLIENT_CERT_OK;
    return code;
}

// The loop-driven engine: attach answers an eventfd that never turns
// readable, so the module's rounds come from its timer; a drive runs no
// callback (they come from the double's threads, as without the
// extension) and answers a 5 ms deadline.  Each call is recorded with
// whether the interpreter lock was held.
HY_API uint32_t hy_engine_loop_attach(hy_engine* engine, int32_t* fd) {
    const Scripted a = answer("hy_engine_loop_attach");
    record("loop_attach", "{\"engine\": " + std::to_string(engine ? engine->id : -1) + "}");
    if (a.code != HY_OK) return a.code;
    if (engine == nullptr || fd == nullptr) return HY_INVALID_ARGUMENT;
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (engine->loop_fd < 0) engine->loop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (engine->loop_fd < 0) return HY_OUT_OF_MEMORY;
    ++engine->loop_attachments;
    *fd = engine->loop_fd;
    return HY_OK;
}

HY_API uint32_t hy_engine_loop_drive(hy_engine* engine, int64_t* next_ms) {
    const Scripted a = answer("hy_engine_loop_drive");
    record("loop_drive", "{\"engine\": " + std::to_string(engine ? engine->id : -1) +
                             ", \"gil\": " + boolean(interpreter_lock_held()) + "}");
    if (a.code != HY_OK) return a.code;
    if (engine == nullptr || next_ms == nullptr) return HY_INVALID_ARGUMENT;
    *next_ms = 5;
    return HY_OK;
}

HY_API uint32_t hy_engine_loop_detach(hy_engine* engine) {
    const Scripted a = answer("hy_engine_loop_detach");
    record("loop_detach", "{\"engine\": " + std::to_string(engine ? engine->id : -1) + "}");
    if (a.code != HY_OK) return a.code;
    if (engine == nullptr) return HY_INVALID_ARGUMENT;
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (engine->loop_attachments == 0) return HY_INVALID_STATE;
    --engine->loop_attachments;
    return HY_OK;
}
#endif  // HYD_SPECIFIED_ONLY

HY_API void hy_engine_release(hy_engine* engine) { release_of("engine", engine->id); }

HY_API uint32_t hy_request_create(hy_engine* engine, const RequestConfig* c, hy_request** out) {
    const Scripted a = answer("hy_request_create");
    const RequestCallbacks& cb = c->callbacks;
    std::string json =
        "{\"engine\": " + std::to_string(engine ? engine->id : -1) + ", \"size\": " + num(c->size) +
        ", \"abi\": " + num(c->abi) + ", \"url\": " + range(c->url, c->url_len) +
        ", \"method\": " + range(c->method, c->method_len) + ", \"headers_null\": " + boolean(c->headers == nullptr) +
        ", \"header_count\": " + num(c->header_count) + ", \"headers\": " + headers_json(c->headers, c->header_count) +
        ", \"timeout_ms\": " + num(c->timeout_ms) + ", \"callbacks\": {\"size\": " + num(cb.size) +
        ", \"abi\": " + num(cb.abi) + ", \"context_null\": " + boolean(cb.context == nullptr) +
        ", \"all_set\": " + boolean(cb.on_response && cb.on_data && cb.on_complete && cb.on_redirect) +
        "}, \"body\": " + range(c->body, c->body_len) + ", \"body_kind\": " + num(c->body_kind) +
        ", \"cache_mode\": " + num(c->cache_mode) + ", \"redirect_mode\": " + num(c->redirect_mode) +
        ", \"priority\": " + num(c->priority) + "}";
    record("request", std::move(json));
    if (a.code != HY_OK || a.null_handle) return a.code;
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto request = std::make_unique<hy_request>();
    request->id = ++s.last_id["request"];
    request->callbacks = cb;
    request->stream_body = c->body_kind == HY_BODY_STREAM;
    *out = request.get();
    s.requests.push_back(std::move(request));
    return HY_OK;
}

namespace {

// hy_request_start and hy_request_start_driven: a driven start is a start
// (it answers hy_request_start's script and counts as one; `driven` also
// counts it under its own name), then the automatic reply when one is set.
uint32_t start_request(hy_request* r, bool driven) {
    const Scripted a = answer("hy_request_start");
    if (driven) {
        State& s = state();
        std::lock_guard lock(s.mutex);
        ++s.calls["hy_request_start_driven"];
    }
    if (a.code != HY_OK) return a.code;
    AutoResponse reply;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        reply = s.auto_response;
    }
    if (reply.enabled) {
        // Answers at once from a Core-like thread: head, whole body, end.
        detached([r, reply] {
            static const char head[] = "HTTP/1.1 200 OK\r\n\r\n";
            const RequestCallbacks& cb = r->callbacks;
            cb.on_response(cb.context, r, reply.status, reinterpret_cast<const uint8_t*>(head), sizeof head - 1);
            if (!reply.body.empty()) {
                cb.on_data(cb.context, r, reinterpret_cast<const uint8_t*>(reply.body.data()), reply.body.size());
            }
            cb.on_complete(cb.context, r, HY_OK, 0);
        });
    }
    return HY_OK;
}

// The drives: callbacks come from the double's own threads whoever
// drives, so a drive waits for its condition (looked at every
// millisecond) or the end of `timeout_ms`, after its scripted answer.
uint32_t drive(const char* name, uint64_t timeout_ms, hy_wait_condition until, void* context) {
    const Scripted a = answer(name);
    record("drive", "{\"timeout_ms\": " + num(timeout_ms) + ", \"gil\": " + boolean(interpreter_lock_held()) + "}");
    if (a.code != HY_OK) return a.code;
    if (until == nullptr) return HY_INVALID_ARGUMENT;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min<uint64_t>(timeout_ms, 60'000));
    while (until(context) == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return HY_OK;
}

}  // namespace

HY_API uint32_t hy_request_start(hy_request* r) { return start_request(r, false); }

#ifndef HYD_SPECIFIED_ONLY
HY_API uint32_t hy_request_start_driven(hy_request* r) { return start_request(r, true); }

HY_API uint32_t hy_request_drive(hy_request*, uint64_t timeout_ms, hy_wait_condition until, void* context) {
    return drive("hy_request_drive", timeout_ms, until, context);
}

HY_API uint32_t hy_websocket_drive(hy_websocket*, uint64_t timeout_ms, hy_wait_condition until, void* context) {
    return drive("hy_websocket_drive", timeout_ms, until, context);
}
#endif  // HYD_SPECIFIED_ONLY

HY_API uint32_t hy_request_cancel(hy_request*) { return answer("hy_request_cancel").code; }

HY_API uint32_t hy_request_resume_read(hy_request* r) {
    const Scripted a = answer("hy_request_resume_read");
    record("resume", "{\"id\": " + std::to_string(r->id) + ", \"gil\": " + boolean(interpreter_lock_held()) + "}");
    {
        std::lock_guard lock(r->mutex);
        ++r->resume_count;
    }
    r->resumed.notify_all();
    return a.code;
}

HY_API uint32_t hy_request_upload_write(hy_request* r, const uint8_t* data, uint64_t len, uint32_t is_final) {
    const Scripted a = answer("hy_request_upload_write");
    record("upload", "{\"id\": " + std::to_string(r->id) + ", \"data\": " + range(data, len) +
                         ", \"final\": " + num(is_final) + "}");
    return a.code;
}

#ifndef HYD_SPECIFIED_ONLY
HY_API uint32_t hy_request_upload_push(hy_request* r, const uint8_t* data, uint64_t len, uint32_t is_final) {
    const Scripted a = answer("hy_request_upload_push");
    record("upload", "{\"id\": " + std::to_string(r->id) + ", \"data\": " + range(data, len) +
                         ", \"final\": " + num(is_final) + "}");
    return a.code;
}

// Answers its scripted code; while the request's queue is held full, it
// first waits out `timeout_ms` (or until hyd_upload_full lets go) and sets
// *held if still full.
HY_API uint32_t hy_request_upload_wait(hy_request* r, uint64_t timeout_ms, uint32_t* held) {
    const Scripted a = answer("hy_request_upload_wait");
    record("upload_wait", "{\"id\": " + std::to_string(r->id) + ", \"timeout_ms\": " + num(timeout_ms) + "}");
    *held = 0;
    if (a.code != HY_OK) return a.code;
    std::unique_lock lock(r->mutex);
    if (!r->upload_full) return HY_OK;
    const auto ms = std::chrono::milliseconds(std::min<uint64_t>(timeout_ms, 60'000));
    if (!r->upload_room.wait_for(lock, ms, [&] { return !r->upload_full; })) *held = 1;
    return HY_OK;
}

#endif  // HYD_SPECIFIED_ONLY

HY_API uint32_t hy_request_follow_redirect(hy_request*) { return answer("hy_request_follow_redirect").code; }

#ifndef HYD_SPECIFIED_ONLY
HY_API uint32_t hy_request_record_sent_heads(hy_request* r) {
    const Scripted a = answer("hy_request_record_sent_heads");
    record("record_sent_heads", "{\"id\": " + std::to_string(r->id) + "}");
    return a.code;
}

HY_API uint32_t hy_request_sent_heads(hy_request* r, uint8_t* buffer, uint64_t capacity, uint64_t* len) {
    const Scripted a = answer("hy_request_sent_heads");
    if (a.code != HY_OK) return a.code;
    std::lock_guard lock(r->mutex);
    const uint64_t n = std::min<uint64_t>(capacity, r->sent_heads.size());
    if (n != 0) std::memcpy(buffer, r->sent_heads.data(), n);
    *len = r->sent_heads.size();
    return HY_OK;
}

HY_API uint32_t hy_request_set_upload_length(hy_request* r, uint64_t length) {
    const Scripted a = answer("hy_request_set_upload_length");
    record("upload_length", "{\"id\": " + std::to_string(r->id) + ", \"length\": " + num(length) + "}");
    return a.code;
}

HY_API uint32_t hy_request_set_max_redirects(hy_request* r, uint32_t limit) {
    const Scripted a = answer("hy_request_set_max_redirects");
    record("max_redirects", "{\"id\": " + std::to_string(r->id) + ", \"limit\": " + num(limit) + "}");
    return a.code;
}

HY_API uint32_t hy_request_from_cache(hy_request* r, uint32_t* from_cache) {
    const Scripted a = answer("hy_request_from_cache");
    if (a.code != HY_OK) return a.code;
    std::lock_guard lock(r->mutex);
    *from_cache = r->from_cache;
    return HY_OK;
}

HY_API uint32_t hy_request_set_timeouts(hy_request* r, const RequestTimeouts* t) {
    const Scripted a = answer("hy_request_set_timeouts");
    if (t == nullptr) return HY_INVALID_ARGUMENT;
    record("timeouts", "{\"id\": " + std::to_string(r->id) + ", \"size\": " + num(t->size) +
                           ", \"abi\": " + num(t->abi) + ", \"connect_ms\": " + num(t->connect_ms) +
                           ", \"read_ms\": " + num(t->read_ms) + ", \"write_ms\": " + num(t->write_ms) +
                           ", \"pool_ms\": " + num(t->pool_ms) + "}");
    return a.code;
}

HY_API uint32_t hy_request_timeout_phase(hy_request* r, uint32_t* phase) {
    const Scripted a = answer("hy_request_timeout_phase");
    if (a.code != HY_OK) return a.code;
    std::lock_guard lock(r->mutex);
    *phase = r->timeout_phase;
    return HY_OK;
}

#endif  // HYD_SPECIFIED_ONLY

HY_API void hy_request_release(hy_request* r) { release_of("request", r->id); }

HY_API uint32_t hy_websocket_create(hy_engine* engine, const WebSocketConfig* c, hy_websocket** out) {
    const Scripted a = answer("hy_websocket_create");
    const WebSocketCallbacks& cb = c->callbacks;
    std::string protocols = "[";
    if (c->protocols != nullptr) {
        for (uint64_t i = 0; i < c->protocol_count; ++i) {
            if (i) protocols += ", ";
            protocols += range(c->protocols[i].text, c->protocols[i].text_len);
        }
    }
    protocols += "]";
    std::string json =
        "{\"engine\": " + std::to_string(engine ? engine->id : -1) + ", \"size\": " + num(c->size) +
        ", \"abi\": " + num(c->abi) + ", \"url\": " + range(c->url, c->url_len) +
        ", \"origin_len\": " + num(c->origin_len) +
        ", \"origin\": " + range(c->origin_len ? c->origin : nullptr, c->origin_len) +
        ", \"protocols_null\": " + boolean(c->protocols == nullptr) + ", \"protocol_count\": " +
        num(c->protocol_count) + ", \"protocols\": " + protocols + ", \"headers_null\": " +
        boolean(c->headers == nullptr) + ", \"header_count\": " + num(c->header_count) +
        ", \"headers\": " + headers_json(c->headers, c->header_count) + ", \"callbacks\": {\"size\": " +
        num(cb.size) + ", \"abi\": " + num(cb.abi) + ", \"context_null\": " + boolean(cb.context == nullptr) +
        ", \"all_set\": " +
        boolean(cb.on_open && cb.on_message && cb.on_closing && cb.on_close && cb.on_error) +
        "}, \"timeout_ms\": " + num(c->timeout_ms) + "}";
    record("websocket", std::move(json));
    if (a.code != HY_OK || a.null_handle) return a.code;
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto socket = std::make_unique<hy_websocket>();
    socket->id = ++s.last_id["websocket"];
    socket->callbacks = cb;
    *out = socket.get();
    s.websockets.push_back(std::move(socket));
    return HY_OK;
}

HY_API uint32_t hy_websocket_start(hy_websocket*) { return answer("hy_websocket_start").code; }

#ifndef HYD_SPECIFIED_ONLY
HY_API uint32_t hy_websocket_set_deflate(hy_websocket* w, uint32_t flags, uint32_t client_bits, uint32_t server_bits) {
    const Scripted a = answer("hy_websocket_set_deflate");
    record("deflate", "{\"id\": " + std::to_string(w->id) + ", \"flags\": " + num(flags) +
                          ", \"client_max_window_bits\": " + num(client_bits) +
                          ", \"server_max_window_bits\": " + num(server_bits) + "}");
    return a.code;
}

HY_API uint32_t hy_websocket_set_timeouts(hy_websocket* w, const WebSocketTimeouts* t) {
    const Scripted a = answer("hy_websocket_set_timeouts");
    if (t == nullptr) return HY_INVALID_ARGUMENT;
    record("ws_timeouts", "{\"id\": " + std::to_string(w->id) + ", \"size\": " + num(t->size) +
                              ", \"abi\": " + num(t->abi) + ", \"connect_ms\": " + num(t->connect_ms) +
                              ", \"handshake_ms\": " + num(t->handshake_ms) + "}");
    return a.code;
}

HY_API uint32_t hy_websocket_timeout_phase(hy_websocket* w, uint32_t* phase) {
    const Scripted a = answer("hy_websocket_timeout_phase");
    if (a.code != HY_OK) return a.code;
    *phase = w->timeout_phase.load();
    return HY_OK;
}

#endif  // HYD_SPECIFIED_ONLY

#ifndef HYD_SPECIFIED_ONLY
// Takes the buffer hyd_ws_fire_message is reporting; a scripted answer
// other than HY_OK refuses it.  Calls are counted as any other; releases
// count as "hy_message_release".
HY_API uint32_t hy_websocket_take_message(hy_websocket* w, const uint8_t* data, hy_message** out) {
    const Scripted a = answer("hy_websocket_take_message");
    if (out == nullptr) return HY_INVALID_ARGUMENT;
    *out = nullptr;
    if (a.code != HY_OK) return a.code;
    if (w == nullptr || data == nullptr) return HY_INVALID_ARGUMENT;
    if (w->offered == nullptr || w->offering_thread != std::this_thread::get_id() || w->offered->data() != data)
        return HY_INVALID_STATE;
    auto message = std::make_unique<hy_message>();
    message->bytes = std::move(*w->offered);
    w->offered = nullptr;
    *out = message.release();
    return HY_OK;
}

HY_API void hy_message_release(hy_message* message) {
    if (message == nullptr) return;
    answer("hy_message_release");
    delete message;
}
#endif  // HYD_SPECIFIED_ONLY

namespace {

// A send, driven or not: both answer as scripted for hy_websocket_send.
uint32_t send_message(hy_websocket* w, uint32_t type, const uint8_t* data, uint64_t len, bool driven) {
    const Scripted a = answer("hy_websocket_send");
    record("send", "{\"id\": " + std::to_string(w->id) + ", \"type\": " + num(type) + ", \"data\": " + range(data, len) +
                       ", \"driven\": " + boolean(driven) + ", \"gil\": " + boolean(interpreter_lock_held()) + "}");
    return a.code;
}

}  // namespace

HY_API uint32_t hy_websocket_send(hy_websocket* w, uint32_t type, const uint8_t* data, uint64_t len) {
    return send_message(w, type, data, len, false);
}

#ifndef HYD_SPECIFIED_ONLY
HY_API uint32_t hy_websocket_send_driven(hy_websocket* w, uint32_t type, const uint8_t* data, uint64_t len) {
    return send_message(w, type, data, len, true);
}
#endif  // HYD_SPECIFIED_ONLY

HY_API uint32_t hy_websocket_close(hy_websocket* w, uint16_t code, const char* reason, uint64_t len) {
    const Scripted a = answer("hy_websocket_close");
    record("close", "{\"id\": " + std::to_string(w->id) + ", \"code\": " + num(code) +
                        ", \"reason\": " + range(reason, len) + "}");
    return a.code;
}

HY_API uint32_t hy_websocket_cancel(hy_websocket*) { return answer("hy_websocket_cancel").code; }

HY_API void hy_websocket_release(hy_websocket* w) { release_of("websocket", w->id); }

}  // extern "C"

// ---------------------------------------------------------- control layer

HYD_API void hyd_reset(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.abi = HY_ABI_VERSION;
    s.version = "halyard-double/1.0";
    s.version_null = false;
    s.recording = true;
    s.scripts.clear();
    s.calls.clear();
    s.records.clear();
    s.auto_response = AutoResponse{};
    // Objects the module has released are gone for good; a released object
    // may still be fired at within one test, so they live until a reset.
    auto released = [&](const char* kind, int id) { return s.releases[kind][id] > 0; };
    std::erase_if(s.requests, [&](const auto& r) { return released("request", r->id); });
    std::erase_if(s.websockets, [&](const auto& w) { return released("websocket", w->id); });
    std::erase_if(s.engines, [&](const auto& e) { return released("engine", e->id); });
    s.releases.clear();
}

HYD_API void hyd_set_recording(int on) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.recording = on != 0;
    if (!s.recording) s.records.clear();
}

HYD_API void hyd_set_abi(uint32_t abi) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.abi = abi;
}

// Null makes hy_version_string answer null.
HYD_API void hyd_set_version(const char* text) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.version_null = text == nullptr;
    s.version = text ? text : "";
}

// The next call of `function` answers `code` (and, with null_handle, leaves
// a create's out handle null).
HYD_API void hyd_script(const char* function, uint32_t code, int null_handle) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.scripts[function].push_back({code, null_handle != 0});
}

HYD_API uint64_t hyd_calls(const char* function) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.calls[function];
}

HYD_API int hyd_record_count(const char* kind) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return static_cast<int>(s.records[kind].size());
}

// The JSON of record `index` of `kind`; valid until the next reset.
HYD_API const char* hyd_record(const char* kind, int index) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto& list = s.records[kind];
    if (index < 0) index += static_cast<int>(list.size());
    if (index < 0 || index >= static_cast<int>(list.size())) return nullptr;
    return list[static_cast<size_t>(index)].c_str();
}

HYD_API int hyd_last_id(const char* kind) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.last_id.find(kind);
    return it == s.last_id.end() ? 0 : it->second;
}

HYD_API int hyd_released(const char* kind, int id) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.releases[kind][id];
}

HYD_API uint64_t hyd_resume_count(int id) {
    hy_request* r = find_request(id);
    if (!r) return 0;
    std::lock_guard lock(r->mutex);
    return r->resume_count;
}

// Holds the request's upload queue full (hy_request_upload_wait times
// out) or lets it go, waking waiting writers.
HYD_API int hyd_upload_full(int id, int full) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    {
        std::lock_guard lock(r->mutex);
        r->upload_full = full != 0;
    }
    r->upload_room.notify_all();
    return 0;
}

// What the request's hy_request_sent_heads answers from now on.
HYD_API int hyd_set_sent_heads(int id, const uint8_t* data, uint64_t len) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    std::lock_guard lock(r->mutex);
    r->sent_heads.assign(reinterpret_cast<const char*>(data), data ? len : 0);
    return 0;
}

// What the request's hy_request_from_cache answers from now on.
HYD_API int hyd_set_from_cache(int id, uint32_t from_cache) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    std::lock_guard lock(r->mutex);
    r->from_cache = from_cache;
    return 0;
}

// What the request's hy_request_timeout_phase answers from now on.
HYD_API int hyd_set_timeout_phase(int id, uint32_t phase) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    std::lock_guard lock(r->mutex);
    r->timeout_phase = phase;
    return 0;
}

// What the WebSocket's hy_websocket_timeout_phase answers from now on.
HYD_API int hyd_ws_set_timeout_phase(int id, uint32_t phase) {
    hy_websocket* w = find_websocket(id);
    if (!w) return -1;
    w->timeout_phase.store(phase);
    return 0;
}

HYD_API void hyd_auto_respond(int enabled, int32_t status, const uint8_t* body, uint64_t len) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.auto_response.enabled = enabled != 0;
    s.auto_response.status = status;
    s.auto_response.body.assign(reinterpret_cast<const char*>(body), body ? len : 0);
}

HYD_API int hyd_running_threads(void) { return state().running_threads.load(); }

// -------------------------------------------------------- request callbacks

HYD_API int hyd_fire_response(int id, int32_t status, const uint8_t* head, uint64_t len) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    on_native_thread([&] { r->callbacks.on_response(r->callbacks.context, r, status, head, len); });
    return 0;
}

// Returns on_data's answer.
HYD_API int32_t hyd_fire_data(int id, const uint8_t* data, uint64_t len) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    int32_t answer_value = -1;
    on_native_thread([&] { answer_value = r->callbacks.on_data(r->callbacks.context, r, data, len); });
    return answer_value;
}

// Fires `count` chunks from one native thread; returns how many answers
// asked to pause.
HYD_API int64_t hyd_fire_data_repeat(int id, const uint8_t* data, uint64_t len, uint64_t count) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    int64_t pauses = 0;
    on_native_thread([&] {
        for (uint64_t i = 0; i < count; ++i) {
            if (r->callbacks.on_data(r->callbacks.context, r, data, len) == HY_DATA_PAUSE) ++pauses;
        }
    });
    return pauses;
}

HYD_API int hyd_fire_complete(int id, uint32_t code, int32_t net_error) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    on_native_thread([&] { r->callbacks.on_complete(r->callbacks.context, r, code, net_error); });
    return 0;
}

HYD_API int hyd_fire_redirect(int id, int32_t status, const uint8_t* raw, uint64_t raw_len, const char* first,
                              uint64_t first_len, const char* second, uint64_t second_len) {
    hy_request* r = find_request(id);
    if (!r) return -1;
    on_native_thread([&] {
        r->callbacks.on_redirect(r->callbacks.context, r, status, raw, raw_len, first, first_len, second, second_len);
    });
    return 0;
}

// Streams `total` bytes in `chunk`-sized pieces from a detached thread the
// way a Core does: head first, pauses honoured until the module resumes,
// then completion.  Returns at once.
HYD_API int hyd_stream_body(int id, uint64_t chunk, uint64_t total) {
    hy_request* r = find_request(id);
    if (!r || chunk == 0) return -1;
    detached([r, chunk, total] {
        static const char head[] = "HTTP/1.1 200 OK\r\n\r\n";
        std::vector<uint8_t> piece(chunk);
        for (uint64_t i = 0; i < chunk; ++i) piece[i] = static_cast<uint8_t>(i);
        const RequestCallbacks& cb = r->callbacks;
        cb.on_response(cb.context, r, 200, reinterpret_cast<const uint8_t*>(head), sizeof head - 1);
        uint64_t sent = 0;
        while (sent < total) {
            const uint64_t n = std::min(chunk, total - sent);
            uint64_t seen;
            {
                std::lock_guard lock(r->mutex);
                seen = r->resume_count;
            }
            const int32_t go_on = cb.on_data(cb.context, r, piece.data(), n);
            sent += n;
            if (go_on == HY_DATA_PAUSE) wait_resume(r, seen);
        }
        cb.on_complete(cb.context, r, HY_OK, 0);
    });
    return 0;
}

// ------------------------------------------------------ WebSocket callbacks

HYD_API int hyd_ws_fire_open(int id, const char* protocol, uint64_t protocol_len, const char* extensions,
                             uint64_t extensions_len) {
    hy_websocket* w = find_websocket(id);
    if (!w) return -1;
    on_native_thread([&] {
        w->callbacks.on_open(w->callbacks.context, w, protocol, protocol_len, extensions, extensions_len);
    });
    return 0;
}

HYD_API int hyd_ws_fire_message(int id, uint32_t type, uint32_t flags, const uint8_t* data, uint64_t len,
                                uint64_t count) {
    hy_websocket* w = find_websocket(id);
    if (!w) return -1;
    on_native_thread([&] {
        for (uint64_t i = 0; i < count; ++i) {
            // Each message is reported from a buffer of its own, as the
            // Core's, which the module may take (hy_websocket_take_message);
            // a length no buffer could hold is lent from the caller as is.
            if (len == 0 || len > (uint64_t{64} << 20)) {
                w->callbacks.on_message(w->callbacks.context, w, type, flags, data, len);
                continue;
            }
            std::vector<uint8_t> buffer(data, data + len);
            w->offered = &buffer;
            w->offering_thread = std::this_thread::get_id();
            w->callbacks.on_message(w->callbacks.context, w, type, flags, buffer.data(), len);
            w->offered = nullptr;
            w->offering_thread = std::thread::id();
        }
    });
    return 0;
}

HYD_API int hyd_ws_fire_closing(int id) {
    hy_websocket* w = find_websocket(id);
    if (!w) return -1;
    on_native_thread([&] { w->callbacks.on_closing(w->callbacks.context, w); });
    return 0;
}

HYD_API int hyd_ws_fire_close(int id, uint32_t flags, uint16_t code, const char* reason, uint64_t len) {
    hy_websocket* w = find_websocket(id);
    if (!w) return -1;
    on_native_thread([&] { w->callbacks.on_close(w->callbacks.context, w, flags, code, reason, len); });
    return 0;
}

HYD_API int hyd_ws_fire_error(int id, uint32_t code, int32_t net_error, int32_t response, const char* message,
                              uint64_t len) {
    hy_websocket* w = find_websocket(id);
    if (!w) return -1;
    on_native_thread([&] {
        w->callbacks.on_error(w->callbacks.context, w, code, net_error, response, message, len);
    });
    return 0;
}
