// The engine: one network thread running a libcurl multi loop, a command
// queue through which other threads reach it, and the settings every
// request of the engine uses.
//
// Lifetime: the engine counts its users (the module's engine handle and
// every request object).  The thread ends, and tears down its curl handles,
// once the count is zero and no command is left; nobody ever waits for it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config.h"

namespace halyard {

class Request;
class WebSocket;

class Engine : public std::enable_shared_from_this<Engine> {
public:
    using Command = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    // Creates the engine and starts its thread; null with `code` set on
    // failure.  The caller holds one user.
    static std::shared_ptr<Engine> create(EngineSettings settings, uint32_t& code);
    ~Engine();

    const EngineSettings& settings() const { return settings_; }

    void add_user();
    void drop_user();

    // Queues a command for the network thread and wakes it.  Never blocks
    // for longer than the queue's mutex is held (a swap).
    void post(Command command);
    bool on_thread() const;

    // Network thread only.
    CURLM* multi() const { return multi_; }
    CURLSH* share() const { return share_; }
    void track(std::shared_ptr<Request> request);
    void untrack(Request* request);
    // Started, unfinished WebSocket connections (engine_websockets.cpp).
    void track_websocket(std::shared_ptr<WebSocket> socket);
    void untrack_websocket(WebSocket* socket);

private:
    Engine(EngineSettings settings, CURLM* multi, CURLSH* share);
    void run();
    void check_deadlines();
    void drain_finished_transfers();
    int wait_ms() const;
    // engine_websockets.cpp: WebSocket sockets join the loop's poll.
    bool websocket_transfer_done(CURL* easy, CURLcode result);
    void check_websocket_deadlines(Clock::time_point now);
    std::chrono::milliseconds websocket_wait(Clock::time_point now, std::chrono::milliseconds wait) const;
    void poll(int timeout_ms);

    const EngineSettings settings_;
    CURLM* const multi_;
    CURLSH* const share_;

    mutable std::mutex mutex_;        // guards the fields below
    std::vector<Command> commands_;
    uint64_t users_ = 1;
    bool stopped_ = false;
    std::thread::id thread_id_;

    // Network thread only: the started, unfinished requests.
    std::unordered_map<Request*, std::shared_ptr<Request>> active_;
    std::unordered_map<WebSocket*, std::shared_ptr<WebSocket>> websockets_;
};

// Number of engine threads still running in the process (for tests).
int running_engine_threads();

}  // namespace halyard

// The module's engine handle: one user of the engine.
struct hy_engine {
    std::shared_ptr<halyard::Engine> engine;
};
