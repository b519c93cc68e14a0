// The network side shared by the engines of one profile namespace (or
// owned by one engine when it has none): one thread running a libcurl
// multi loop, its command queue, the curl share (cookies, TLS sessions,
// DNS) and the requests it runs.  One multi handle means one connection
// pool; one thread means the share needs no locks.
//
// Lifetime: the hub counts its users (every engine handle and every
// request of its engines).  The thread ends, and tears down its curl
// handles, once the count is zero and no command is left; nobody waits.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http/easy_pool.h"
#include "cache/http_cache.h"
#include "loop/clock.h"
#include "loop/connection_scheduler.h"
#include "transport/curl_api.h"
#include "transport/quic_origins.h"

namespace halyard {

class Request;
class WebSocket;

class NetworkHub : public std::enable_shared_from_this<NetworkHub> {
public:
    using Command = std::function<void()>;

    // Creates the hub with one user and starts its thread; null on failure.
    // `profile` is the impersonation profile of the namespace ("" for none).
    static std::shared_ptr<NetworkHub> create(std::string profile);
    ~NetworkHub();

    const std::string& profile() const { return profile_; }

    void add_user();
    // Adds a user unless the thread has already ended (false).
    bool try_add_user();
    void drop_user();

    // Queues a command; wakes the thread only when it sleeps in poll and
    // no earlier command is still waiting (that one's wake-up serves both).
    void post(Command command);
    bool on_thread() const;

    // Network thread only.
    CURLM* multi() const { return multi_; }
    CURLSH* share() const { return share_; }
    void track(std::shared_ptr<Request> request);
    // An easy handle joined the multi: the next round performs twice
    // (see run_round).
    void note_transfer_added() { ++transfers_added_; }
    void untrack(Request* request);
    // Started, unfinished WebSocket connections (network_hub_websockets.cpp).
    void track_websocket(std::shared_ptr<WebSocket> socket);
    void untrack_websocket(WebSocket* socket);
    HttpCache& cache() { return cache_; }
    ConnectionScheduler& scheduler() { return scheduler_; }
    EasyPool& easy_pool() { return easy_pool_; }
    // The QUIC library's multi handle (its own connection pool), made on
    // first use; null when the library is missing (see curl_api.h).
    CURLM* quic_multi();
    QuicOrigins& quic_origins() { return quic_origins_; }
    // A linked-curl handle on the hub's share, to read and write the
    // cookie jar for transfers that cannot use the share (QUIC ones).
    CURL* jar_easy();

private:
    NetworkHub(std::string profile, CURLM* multi, CURLSH* share);
    void run();
    // One round after the commands: deadlines, curl's work, finished
    // transfers and the wait for the next event.
    void run_round(std::vector<Command>& batch);
    void check_deadlines();
    void drain_finished_transfers(const CurlApi& api, CURLM* multi);
    int wait_ms() const;
    // network_hub_websockets.cpp: WebSocket transfers, deadlines and waits.
    bool websocket_transfer_done(CURL* easy, CURLcode result);
    void check_websocket_deadlines(Clock::time_point now);
    std::chrono::milliseconds websocket_wait(Clock::time_point now, std::chrono::milliseconds wait) const;
    // network_hub_poll.cpp: the loop's one wait, over the multi's, the
    // WebSockets' and the QUIC multi's sockets.
    void poll(int timeout_ms);
    // Sets the pending flag; a curl wake-up only when the thread sleeps.
    void wake();
    // The loop's wait: poll, without sleeping when a command is queued.
    void idle_wait();

    const std::string profile_;
    CURLM* const multi_;
    CURLSH* const share_;

    mutable std::mutex mutex_;        // guards the fields below
    std::vector<Command> commands_;
    uint64_t users_ = 1;
    bool stopped_ = false;
    std::atomic<std::thread::id> thread_id_{};

    // The thread-crossing protocol (a store then a load on each side, both
    // sequentially consistent): a poster sets commands_pending_ and then
    // reads sleeping_; the thread sets sleeping_ and then reads
    // commands_pending_ before it polls.  One of the two always sees the
    // other, so no command waits out a poll timeout.
    std::atomic<bool> commands_pending_{false};
    std::atomic<bool> sleeping_{false};

    // Network thread only: the started, unfinished requests, the HTTP
    // cache and the per-host admission of transfers.
    std::unordered_map<Request*, std::shared_ptr<Request>> active_;
    unsigned transfers_added_ = 0;   // since the last curl_multi_perform
    int alive_ = 0;                  // transfers running after it
    std::unordered_map<WebSocket*, std::shared_ptr<WebSocket>> websockets_;
    HttpCache cache_;
    ConnectionScheduler scheduler_;
    EasyPool easy_pool_;
    CURLM* quic_multi_ = nullptr;
    QuicOrigins quic_origins_;
    CURL* jar_easy_ = nullptr;
};

// Number of hub threads still running in the process (for tests).
int running_engine_threads();

}  // namespace halyard
