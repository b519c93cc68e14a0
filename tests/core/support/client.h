// Drives the Core through its C interface and records every callback, the
// way the module does: one mutex, one condition variable, bounded waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "halyard.h"

namespace halyard_test {

using namespace std::chrono_literals;

struct EngineOptions {
    std::string user_agent;
    std::string accept_language;
    std::string proxy;
    std::string proxy_username;
    std::string proxy_password;
    uint32_t http_version = HY_HTTP_AUTO;
    uint32_t tls_verify = HY_TLS_SYSTEM_ROOTS;
    std::string ca_bundle;
    std::string impersonate;
    std::string profile_namespace;
    uint32_t cache_disabled = 0;
};

// The record borrows the texts of `o`, which must outlive its use.
EngineConfig engine_config(const EngineOptions& o);

struct EngineDeleter {
    void operator()(hy_engine* e) const { hy_engine_release(e); }
};
using EnginePtr = std::unique_ptr<hy_engine, EngineDeleter>;

// Null when creation failed; `code` receives the result.
EnginePtr make_engine(const EngineOptions& o = {}, uint32_t* code = nullptr);

struct RedirectSeen {
    int status;
    std::string raw;
    std::string url;
    std::string method;
};

class Recorder {
public:
    // When set, on_data returns HY_DATA_PAUSE once this many bytes are
    // unconsumed (as the module does at 1 MiB); consume() brings it back.
    uint64_t pause_threshold = 0;

    static RequestCallbacks callbacks(Recorder* r);

    // Bounded waits; false on timeout.
    bool wait_complete(std::chrono::milliseconds timeout = 10s);
    bool wait_response(std::chrono::milliseconds timeout = 10s);
    bool wait_redirects(size_t count, std::chrono::milliseconds timeout = 10s);
    bool wait_paused(std::chrono::milliseconds timeout = 10s);
    bool wait_body_size(size_t size, std::chrono::milliseconds timeout = 10s);
    // Marks everything received as consumed; true if reading was paused.
    bool consume();

    // Snapshot accessors (take the mutex).
    bool complete() const;
    uint32_t result() const;
    int32_t net_error() const;
    int complete_calls() const;
    int status() const;
    std::string head() const;
    std::string body() const;
    std::vector<RedirectSeen> redirects() const;
    int pauses() const;
    bool one_callback_thread() const;
    bool event_after_complete() const;

private:
    void note_thread();
    template <typename P>
    bool wait(std::chrono::milliseconds timeout, P pred);

    static void on_response(void* ctx, hy_request*, int32_t status, const uint8_t* head, uint64_t len);
    static int32_t on_data(void* ctx, hy_request*, const uint8_t* data, uint64_t len);
    static void on_complete(void* ctx, hy_request*, uint32_t result, int32_t net);
    static void on_redirect(void* ctx, hy_request*, int32_t status, const uint8_t* raw, uint64_t raw_len,
                            const char* location, uint64_t location_len, const char* method,
                            uint64_t method_len);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int status_ = 0;
    std::string head_;
    int responses_ = 0;
    std::string body_;
    uint64_t consumed_ = 0;
    bool paused_ = false;
    int pauses_ = 0;
    std::vector<RedirectSeen> redirects_;
    int complete_calls_ = 0;
    uint32_t result_ = 0;
    int32_t net_ = 0;
    bool after_complete_ = false;
    std::thread::id thread_;
    bool one_thread_ = true;
};

struct RequestOptions {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    uint32_t body_kind = HY_BODY_NONE;
    uint32_t redirect_mode = HY_REDIRECT_FOLLOW;
    uint32_t cache_mode = HY_CACHE_DEFAULT;
    uint64_t timeout_ms = 0;
    // Replace the recorder's own callbacks (the context stays the recorder).
    hy_on_response_fn on_response = nullptr;
    hy_on_data_fn on_data = nullptr;
};

// Creates a request; null with *code set on refusal.
hy_request* make_request(hy_engine* engine, const RequestOptions& o, Recorder* r, uint32_t* code = nullptr);

// Creates, starts, waits for completion and releases.
void run_request(hy_engine* engine, const RequestOptions& o, Recorder& r,
                 std::chrono::milliseconds timeout = 10s);

// The bytes /bytes/<n> serves, and the hash /echo reports.
std::string pattern(size_t n);
uint64_t fnv1a(const std::string& data);

// The value of "name: value" lines in an /echo answer (all of them).
std::vector<std::string> echo_values(const std::string& echo, const std::string& key);

// Waits for the engine threads of the process to end; bounded.
bool wait_engine_threads(int count, std::chrono::milliseconds timeout = 5s);

}  // namespace halyard_test
