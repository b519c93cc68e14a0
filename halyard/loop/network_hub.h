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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "halyard.h"
#include "http/easy_pool.h"
#include "cache/http_cache.h"
#include "loop/clock.h"
#include "loop/connection_scheduler.h"
#include "transport/curl_api.h"
#include "transport/quic_origins.h"

namespace halyard {

class Request;
class WebSocket;
struct BrowserProfile;

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

    // Queues a command; wakes whoever runs the loop only when it sleeps in
    // poll and no earlier command is still waiting (that one's wake-up
    // serves both), or the network thread when nobody runs the loop.
    void post(Command command) { queue(std::move(command), true); }
    // The same for a poster that runs the loop itself next (drive): when
    // nobody runs it, the network thread is left asleep.
    void post_for_driver(Command command) { queue(std::move(command), false); }
    // Whether drive may run here: not inside a callback of any hub's loop.
    static bool may_drive_here() { return runner_here() == nullptr; }
    // True on the thread that runs this hub's loop right now: the network
    // thread, or a caller inside drive (and so inside its callbacks).
    bool on_thread() const;

    // Caller-driven waits (network_hub_drive.cpp): the calling thread runs
    // the loop until `until(context)` answers nonzero or `timeout` passed.
    // Another thread running it already (a caller, or the network thread
    // with a transfer in progress) leaves this one waiting as a follower:
    // woken when its condition holds, or handed the loop when the runner
    // leaves.  HY_INVALID_STATE on a thread that runs a hub's loop (a
    // callback): it would wait for itself.
    uint32_t drive(std::chrono::milliseconds timeout, hy_wait_condition until, void* context);

    // Loop-driven engines (network_hub_loop.cpp): an event loop's thread
    // runs the loop in nonblocking rounds, watching `*fd` and the deadline
    // each round answers; the network thread steps in only when that
    // thread is late (see loop_late).
    uint32_t loop_attach(int32_t* fd);
    uint32_t loop_drive(int64_t* next_ms);
    uint32_t loop_detach();

    // Network thread only.
    CURLM* multi() const { return multi_; }
    CURLSH* share() const { return share_; }
    void track(std::shared_ptr<Request> request);
    // An easy handle joined the multi: the next round performs twice
    // (see work).
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
    // The queued commands into `batch` (the pending flag cleared first);
    // false when the hub has no user and no command left (`may_stop`: the
    // network thread only, which then ends).
    bool take_batch(std::vector<Command>& batch, bool may_stop);
    // One round without its wait: the commands, deadlines, curl's work and
    // finished transfers.
    void work(std::vector<Command>& batch);
    void run_round_contained(std::vector<Command>& batch);
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
    // Sets the pending flag; a curl wake-up only when the loop's runner
    // sleeps in poll, else (`kick_idle`) the network thread when nobody
    // runs the loop.
    // post and post_for_driver: `kick_idle` says whether the network
    // thread takes a command nobody runs the loop for.
    void queue(Command command, bool kick_idle);
    void wake(bool kick_idle = true);
    // The loop's wait, at most `max_ms`: poll, without sleeping when a
    // command is queued.
    void idle_wait(int max_ms);

    // How often the network thread looks whether an attached event loop
    // is late, and how long a round it was asked for may wait.
    static constexpr std::chrono::milliseconds kLoopWatch{50};
    static constexpr std::chrono::milliseconds kLoopGrace{50};
    // A caller that leaves the loop with work left (an open WebSocket, a
    // body it reads piece by piece) mostly comes back at once, to send or
    // to wait again: the network thread takes the loop over only once it
    // was left alone this long, looking twice the grace apart while
    // callers come and go and up to kCallerWatch apart while one keeps
    // the loop (a caller leaving while the next look is further off than
    // twice the grace has it look after the grace), so a caller's next
    // wait finds the loop free instead of taking it back from the network
    // thread.
    static constexpr std::chrono::milliseconds kCallerGrace{2};
    static constexpr std::chrono::milliseconds kCallerWatch{16};

    // network_hub_drive.cpp: who runs the loop.
    enum Runner : uint8_t { kNobody, kNetworkThread, kCaller };
    struct Follower;
    // Takes the loop for `who` if nobody runs it.
    bool take_loop(Runner who);
    // Gives the loop up: to a waiting caller whose condition does not hold
    // yet, else to nobody, kicking the network thread when a transfer or a
    // command still needs the loop.  The network thread leaving gets true
    // instead of a kick (it goes on itself).
    bool leave_loop(Runner who);
    // Wakes the followers whose condition holds (after every round).
    void wake_followers();
    void wake_followers_locked();
    // Hands the loop to the oldest follower still waiting (under
    // drive_mutex_, by the runner leaving); false when none waits.
    bool hand_to_oldest_follower_locked();
    // A transfer or a WebSocket needs the loop (its runner only).
    bool has_work() const { return !active_.empty() || !websockets_.empty(); }
    // The hub whose loop this thread runs (null: none), and its setting
    // for the span of one run (the profile's HTTP/2 framing with it).
    static NetworkHub*& runner_here();
    void enter_loop_thread();
    void leave_loop_thread();
    // The caller's side of drive once it holds the loop.
    void drive_rounds(Clock::time_point deadline, hy_wait_condition until, void* context);
    // The network thread's sleep while nobody needs it, and its wake-up.
    // While an event loop is attached, a timed sleep that also ends when
    // that loop is late (true).
    bool sleep_until_kicked();
    void kick();
    // A caller leaving the loop with work left: the network thread watches
    // (see kCallerGrace) instead of taking the loop at once.
    void leave_in_grace();
    // The network thread's look while it watches (under kick_mutex_):
    // true when the loop was left alone for the grace; else it sets how
    // long to wait before the next look (watching_ false: until kicked).
    bool loop_left_alone_locked(std::chrono::milliseconds& wait);
    // Who runs the loop when nobody does and work needs it: the attached
    // event loop (its descriptor made readable), else the network thread.
    void hand_idle();

    // network_hub_loop.cpp: the attached event loop's side.
    void signal_loop();
    // The attached loop has work and has not come for a round it owes
    // (descriptor readable, deadline passed) since an earlier look at
    // least the grace period ago.
    // The network thread only (its watch).
    bool loop_late();
    // Gives the loop up after a loop-driven round (no network thread kick).
    bool leave_loop_for_event_loop();
    // The sockets the loop's descriptor watches, made to match what curl
    // and the WebSockets want now.
    void watch_loop_sockets();
    void consume_loop_events();
    int64_t loop_next_ms();
    // Whether one of curl's sockets is ready now (a zero-timeout wait).
    bool curl_sockets_ready();
    static constexpr int kLoopExtraRounds = 7;

    const std::string profile_;
    CURLM* const multi_;
    CURLSH* const share_;

    mutable std::mutex mutex_;        // guards the fields below
    std::vector<Command> commands_;
    uint64_t users_ = 1;
    bool stopped_ = false;
    std::shared_ptr<const BrowserProfile> browser_profile_;

    // The loop's runner.  Changed under drive_mutex_, read by posters
    // without it (a store then a load on each side, as below: a poster sets
    // commands_pending_ then reads runner_; a runner leaving sets runner_
    // then reads commands_pending_).  Lock order: drive_mutex_, then the
    // caller's own locks (a follower's condition is read under it); mutex_
    // and kick_mutex_ are taken alone.
    std::mutex drive_mutex_;
    std::atomic<uint8_t> runner_{kNobody};
    std::vector<Follower*> followers_;       // under drive_mutex_, oldest first
    std::atomic<size_t> follower_count_{0};
    std::mutex kick_mutex_;
    std::condition_variable kick_cv_;
    bool kicked_ = false;                    // under kick_mutex_
    // The grace after a caller left the loop with work: when it left (0
    // once the loop was taken again), and whether the network thread
    // watches for it (under kick_mutex_).
    std::atomic<int64_t> left_at_ns_{0};
    std::atomic<int64_t> last_left_ns_{0};  // the latest such leave, kept
    bool watching_ = false;
    int64_t watch_until_ns_ = 0;   // when the watching thread looks next
    bool watch_again_ = false;     // a caller left while that was far off

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
    // The attached event loop (network_hub_loop.cpp).  The state of the
    // attachment is under loop_mutex_ (taken alone); the descriptors live
    // from the first attach to the hub's end; loop_watched_ belongs to the
    // attached thread.
    std::mutex loop_mutex_;
    unsigned loop_attachments_ = 0;
    std::thread::id loop_thread_;
    std::atomic<bool> loop_attached_{false};
    std::atomic<int> loop_epoll_{-1};
    int loop_event_ = -1;
    std::atomic<bool> loop_wants_{false};     // it found another runner
    std::atomic<bool> loop_has_work_{false};  // a transfer or a command left for it
    std::atomic<int64_t> loop_last_ns_{0};    // its last round began
    std::atomic<int64_t> loop_due_ns_{0};     // its own deadline
    std::unordered_map<int, uint32_t> loop_watched_;
    int64_t loop_seen_last_ns_ = 0;   // the network thread's watch
    int64_t loop_owed_since_ns_ = 0;
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
