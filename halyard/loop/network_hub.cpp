#include "loop/network_hub.h"

#include <unistd.h>

#include <atomic>
#include <utility>

#include "api/contain.h"
#include "http/request.h"
#include "profile/browser_profile.h"
#include "transport/h2_framing_hooks.h"

namespace halyard {
namespace {

std::atomic<int> g_running_threads{0};

bool global_init() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

}  // namespace

int running_engine_threads() { return g_running_threads.load(); }

std::shared_ptr<NetworkHub> NetworkHub::create(std::string profile) {
    if (!global_init()) return nullptr;
    CURLM* multi = curl_multi_init();
    CURLSH* share = curl_share_init();
    if (multi == nullptr || share == nullptr) {
        if (multi) curl_multi_cleanup(multi);
        if (share) curl_share_cleanup(share);
        return nullptr;
    }
    // Cookies, TLS sessions and DNS answers are kept per hub.  The share
    // is used by the hub's thread alone, so it needs no lock callbacks.
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    // The per-host limit of six is the Core's scheduler's, for HTTP
    // transfers only: a curl-wide cap would also hold back WebSocket
    // connections, which browsers keep apart from that limit.

    std::shared_ptr<NetworkHub> hub(new NetworkHub(std::move(profile), multi, share));
    try {
        // The profile's HTTP/2 framing, for every thread that runs the loop.
        hub->browser_profile_ = find_profile(hub->profile_);
        g_running_threads.fetch_add(1);
        std::thread thread([self = hub] { self->run(); });
        thread.detach();
    } catch (...) {
        g_running_threads.fetch_sub(1);
        // No thread: the handles are released here instead.
        curl_multi_cleanup(multi);
        curl_share_cleanup(share);
        return nullptr;
    }
    return hub;
}

NetworkHub::NetworkHub(std::string profile, CURLM* multi, CURLSH* share)
    : profile_(std::move(profile)), multi_(multi), share_(share) {}

// The curl handles are released by the thread when it ends (or by create
// when no thread started); the attached loop's descriptors go here.
NetworkHub::~NetworkHub() {
    if (const int epoll = loop_epoll_.load(); epoll >= 0) ::close(epoll);
    if (loop_event_ >= 0) ::close(loop_event_);
}

void NetworkHub::add_user() {
    std::lock_guard lock(mutex_);
    ++users_;
}

bool NetworkHub::try_add_user() {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    ++users_;
    return true;
}

void NetworkHub::drop_user() {
    std::lock_guard lock(mutex_);
    // Under the lock: once it is released with no user left, the thread
    // may end and take the multi handle with it.
    if (--users_ == 0 && !stopped_) {
        wake();
        kick();  // also when an earlier command's flag is still set
    }
}

void NetworkHub::queue(Command command, bool kick_idle) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(std::move(command));
    }
    // A poster always holds a user, so the thread is still running.  On
    // the loop's own thread (a callback posting) the loop sees the flag
    // before it waits, so no wake-up is needed.
    if (on_thread()) {
        commands_pending_.store(true);
        return;
    }
    wake(kick_idle);
}

void NetworkHub::wake(bool kick_idle) {
    // An earlier poster's wake-up (or the runner's own look at the flag)
    // already covers this command.
    if (commands_pending_.exchange(true)) return;
    if (sleeping_.load()) {
        curl_multi_wakeup(multi_);
        return;
    }
    // Nobody runs the loop: the network thread does (read after the flag
    // is set: a runner leaving reads the flag after clearing runner_).
    if (kick_idle && runner_.load() == kNobody) hand_idle();
}

NetworkHub*& NetworkHub::runner_here() {
    static thread_local NetworkHub* runner = nullptr;
    return runner;
}

bool NetworkHub::on_thread() const { return runner_here() == this; }

void NetworkHub::enter_loop_thread() {
    runner_here() = this;
    use_h2_framing_on_this_thread(browser_profile_ ? &browser_profile_->h2 : &plain_h2_framing());
}

void NetworkHub::leave_loop_thread() {
    use_h2_framing_on_this_thread(nullptr);
    runner_here() = nullptr;
}

void NetworkHub::track(std::shared_ptr<Request> request) {
    Request* key = request.get();
    active_.emplace(key, std::move(request));
}

void NetworkHub::untrack(Request* request) { active_.erase(request); }

void NetworkHub::run() {
    enter_loop_thread();
    std::vector<Command> batch;
    bool stop = false;
    // Running the loop for an attached event loop that is late.
    bool covering = false;
    while (!stop) {
        // A caller runs the loop: the thread sleeps until one leaves it
        // with work left (or the last user goes).
        if (!take_loop(kNetworkThread)) {
            covering = sleep_until_kicked();
            continue;
        }
        for (;;) {
            if (!take_batch(batch, true)) {
                stop = true;
                break;
            }
            run_round_contained(batch);
            wake_followers();
            // A caller waits to run the loop itself: it gets it now.
            if (follower_count_.load() > 0) break;
            // An attached event loop runs the rounds: this thread runs
            // one only when kicked, and more only while that loop is late,
            // until it comes back.
            if (loop_attached_.load() && (!covering || loop_wants_.load())) break;
            // Nothing needs the loop: no poll, no wake-ups.
            if (!commands_pending_.load() && !has_work()) break;
            contain([&] { idle_wait(wait_ms()); }, [&](Fault) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
        }
        if (stop) break;  // nobody is left who could run the loop
        if (!leave_loop(kNetworkThread)) covering = sleep_until_kicked();
    }
    // No user is left, so no request and no easy handle in use remain; the
    // kept ones go before the share they were attached to.
    easy_pool_.clear();
    if (quic_multi_ != nullptr) quic_curl()->multi_cleanup(quic_multi_);
    if (jar_easy_ != nullptr) curl_easy_cleanup(jar_easy_);
    curl_multi_cleanup(multi_);
    curl_share_cleanup(share_);
    leave_loop_thread();
    g_running_threads.fetch_sub(1);
}

bool NetworkHub::take_batch(std::vector<Command>& batch, bool may_stop) {
    // Cleared before the batch is taken: a command queued after the swap
    // sets it again and is seen before the next wait.
    commands_pending_.store(false);
    std::lock_guard lock(mutex_);
    batch.swap(commands_);
    if (may_stop && batch.empty() && users_ == 0) {
        stopped_ = true;
        return false;
    }
    return true;
}

void NetworkHub::run_round_contained(std::vector<Command>& batch) {
    // Commands and the steps of a round catch their own failures; this is
    // the last line, so that nothing ends the process from here.
    for (Command& command : batch) contain(command, [](Fault) {});
    contain([&] { work(batch); }, [&](Fault) {
        // Whatever failed is retried next round; a short sleep keeps a
        // lasting failure (memory exhausted) from spinning the thread.
        batch.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
}

void NetworkHub::work(std::vector<Command>& batch) {
    batch.clear();  // may drop the last reference to a request
    check_deadlines();
    int running = 0;
    // libcurl 7.88 moves its clock forward while it starts a new transfer
    // inside curl_multi_perform, then drops every timer due before that
    // time.  An earlier transfer whose answer a later one read off the
    // shared HTTP/2 connection meanwhile loses its "run now" timer, and
    // with the socket drained nothing would wake it before the idle wait
    // ends.  A second perform runs every transfer again, that one too;
    // it starts nothing new, so its own clock stays put.  It takes two
    // transfers at least, so a lone one (sequential requests) skips it.
    const unsigned added = std::exchange(transfers_added_, 0u);
    curl_multi_perform(multi_, &running);
    if (added > 0 && static_cast<unsigned>(alive_) + added > 1) curl_multi_perform(multi_, &running);
    alive_ = running;
    drain_finished_transfers(linked_curl(), multi_);
    if (quic_multi_ != nullptr) {
        const CurlApi& quic = *quic_curl();
        quic.multi_perform(quic_multi_, &running);
        drain_finished_transfers(quic, quic_multi_);
    }
}

void NetworkHub::check_deadlines() {
    const auto now = Clock::now();
    std::vector<std::shared_ptr<Request>> expired;
    for (auto& [key, request] : active_) {
        if (request->deadline_passed(now)) expired.push_back(request);
    }
    for (auto& request : expired) request->on_timeout();
    check_websocket_deadlines(now);
}

CURLM* NetworkHub::quic_multi() {
    if (quic_multi_ != nullptr) return quic_multi_;
    const CurlApi* quic = quic_curl();
    if (quic == nullptr) return nullptr;
    quic_multi_ = quic->multi_init();
    return quic_multi_;
}

CURL* NetworkHub::jar_easy() {
    if (jar_easy_ != nullptr) return jar_easy_;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) return nullptr;
    if (curl_easy_setopt(easy, CURLOPT_SHARE, share_) != CURLE_OK ||
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "") != CURLE_OK) {
        curl_easy_cleanup(easy);
        return nullptr;
    }
    jar_easy_ = easy;
    return jar_easy_;
}

void NetworkHub::drain_finished_transfers(const CurlApi& api, CURLM* multi) {
    int left = 0;
    while (CURLMsg* msg = api.multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        CURL* easy = msg->easy_handle;
        const CURLcode result = msg->data.result;
        Request* key = nullptr;
        api.easy_getinfo(easy, CURLINFO_PRIVATE, &key);
        auto it = active_.find(key);
        if (it == active_.end()) {
            websocket_transfer_done(easy, result);
            continue;
        }
        std::shared_ptr<Request> request = it->second;
        request->on_transfer_done(easy, result);
    }
}

void NetworkHub::idle_wait(int max_ms) {
    // A command queued meanwhile: sockets get their turn, without a sleep.
    if (commands_pending_.load()) {
        poll(0);
        return;
    }
    sleeping_.store(true);
    // Read after sleeping_ is set: a poster that queued before it saw the
    // runner awake and skipped the wake-up (see network_hub.h).
    poll(commands_pending_.load() ? 0 : max_ms);
    sleeping_.store(false);
}

int NetworkHub::wait_ms() const {
    // Idle waits are bounded so that deadlines are checked at least this
    // often even if a computation below were off.
    auto wait = std::chrono::milliseconds(1000);
    const auto now = Clock::now();
    for (const auto& [key, request] : active_) {
        if (auto deadline = request->deadline()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
            if (left < wait) wait = left;
        }
    }
    wait = websocket_wait(now, wait);
    if (wait.count() < 0) return 0;
    return static_cast<int>(wait.count());
}

}  // namespace halyard
