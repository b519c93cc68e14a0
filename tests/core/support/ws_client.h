// Drives WebSocket connections through the C interface and records every
// callback as the module does: one mutex, one condition variable, bounded
// waits, and checks that nothing follows the terminal callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard.h"

namespace halyard_test {

using namespace std::chrono_literals;

struct WsEvent {
    enum Kind { Open, Message, Closing, Close, Error } kind;
    uint32_t number = 0;    // message type; close code; error result
    uint32_t flags = 0;     // on_message / on_close flags
    int32_t net_error = 0;  // on_error
    int32_t response = 0;   // on_error
    std::string first;      // protocol; payload; close reason; error message
    std::string second;     // extensions
    uint32_t timeout_phase = HY_TIMEOUT_PHASE_NONE;  // on_error: hy_websocket_timeout_phase then
    std::thread::id thread;  // the thread the callback ran on
};

class WsRecorder {
public:
    static WebSocketCallbacks callbacks(WsRecorder* r);

    // Bounded waits; false on timeout.
    bool wait_open(std::chrono::milliseconds timeout = 10s);
    bool wait_terminal(std::chrono::milliseconds timeout = 10s);
    bool wait_messages(size_t count, std::chrono::milliseconds timeout = 10s);
    // A hy_wait_condition: `context` is a MessageCount; nonzero once that
    // many messages (or the end) came.
    static int32_t has_messages(void* context);

    std::vector<WsEvent> events() const;
    std::vector<WsEvent> messages() const;
    // The terminal event (Close or Error); Kind Open when none came.
    WsEvent terminal() const;
    int terminal_calls() const;
    bool event_after_terminal() const;

private:
    template <typename P>
    bool wait(std::chrono::milliseconds timeout, P pred);
    bool has_messages_locked(size_t count) const;
    void push(WsEvent event);

    static void on_open(void*, hy_websocket*, const char*, uint64_t, const char*, uint64_t);
    static void on_message(void*, hy_websocket*, uint32_t, uint32_t, const uint8_t*, uint64_t);
    static void on_closing(void*, hy_websocket*);
    static void on_close(void*, hy_websocket*, uint32_t, uint16_t, const char*, uint64_t);
    static void on_error(void*, hy_websocket*, uint32_t, int32_t, int32_t, const char*, uint64_t);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<WsEvent> events_;
    int terminal_calls_ = 0;
    bool after_terminal_ = false;
};

struct MessageCount {
    WsRecorder* recorder;
    size_t count;
};

struct WsOptions {
    std::string url;
    std::string origin;
    std::vector<std::string> protocols;
    std::vector<std::pair<std::string, std::string>> headers;
    uint64_t timeout_ms = 0;
    // hy_websocket_set_timeouts before the start, when either is set.
    uint64_t connect_ms = 0;
    uint64_t handshake_ms = 0;
};

// Creates a connection; null with *code set on refusal.
hy_websocket* make_websocket(hy_engine* engine, const WsOptions& o, WsRecorder* r, uint32_t* code = nullptr);

uint32_t send_text(hy_websocket* socket, const std::string& text);
// Through hy_websocket_send_driven.
uint32_t send_text_driven(hy_websocket* socket, const std::string& text);
uint32_t send_binary(hy_websocket* socket, const std::string& data);

}  // namespace halyard_test
