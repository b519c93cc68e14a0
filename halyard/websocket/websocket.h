// One WebSocket connection: the calls other threads make on it (which only
// post commands or queue data), and the network-thread side that connects
// through a connect-only curl handle, runs the upgrade handshake and moves
// bytes between the socket and the framing session.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/contain.h"
#include "api/lifecycle.h"
#include "api/outcome.h"
#include "loop/clock.h"
#include "websocket/config.h"
#include "websocket/close.h"
#include "websocket/session.h"

// The module's WebSocket handle is the connection object itself.
struct hy_websocket {
protected:
    hy_websocket() = default;
};

namespace halyard {

class Engine;

// Bounds of one connection.
inline constexpr uint64_t kMaxOutgoingMessage = uint64_t{64} << 20;   // one message
inline constexpr uint64_t kMaxUnsentBytes = uint64_t{64} << 20;       // queued, not yet framed
inline constexpr size_t kMaxHandshakeAnswer = size_t{64} << 10;       // the 101 answer's head
inline constexpr auto kClosingTimeout = std::chrono::seconds(10);     // closing handshake

class WebSocket final : public hy_websocket,
                        public FrameSession::Listener,
                        public std::enable_shared_from_this<WebSocket> {
public:
    // The network-thread entry points below are not noexcept on purpose: a
    // callback may end the thread by unwinding it (CPython does so to a
    // thread that takes the interpreter lock while the interpreter exits),
    // and that unwinding must pass through.

    // The new connection holds the handle reference that release() gives up.
    static WebSocket* create(std::shared_ptr<Engine> engine, WebSocketSpec spec);
    ~WebSocket();
    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    // --- hy_websocket_* calls, any thread; none waits for the network thread.
    uint32_t start();
    // Runs the engine's loop on the calling thread (see NetworkHub::drive);
    // HY_INVALID_STATE before the start.
    uint32_t drive(uint64_t timeout_ms, hy_wait_condition until, void* context);
    // Before start, from the thread that starts the connection.
    uint32_t set_deflate(const DeflateOffer& offer);
    // Before start: the connect and handshake phase limits (ms, 0: none).
    uint32_t set_timeouts(const WebSocketTimeouts& timeouts);
    // The HY_TIMEOUT_PHASE_* that ended the connection (NONE otherwise).
    uint32_t timeout_phase(uint32_t* out) const;
    uint32_t send(uint32_t type, const uint8_t* data, uint64_t len);
    // send, then one round of the loop on the calling thread when nobody
    // runs it, which writes the message out there (else the runner does).
    uint32_t send_driven(uint32_t type, const uint8_t* data, uint64_t len);
    uint32_t close(uint16_t code, const char* reason, uint64_t reason_len);
    uint32_t cancel();
    void release();
    // From inside on_message, on its thread: the message's buffer, moved
    // into a new hy_message (see halyard.h).
    uint32_t take_message(const uint8_t* data, hy_message** out);

    // --- network thread (the engine's loop).
    CURL* easy() const { return easy_; }
    void on_connected(CURLcode code);
    // The socket and the poll events wanted (0: none), and whether the
    // connection has work without waiting for the socket.
    curl_socket_t socket() const { return socket_; }
    short wanted_events() const;
    bool has_ready_work() const { return read_more_; }
    void on_socket_ready(short revents);
    std::optional<Clock::time_point> deadline() const;
    void on_deadline();

private:
    WebSocket(std::shared_ptr<Engine> engine, WebSocketSpec spec);

    enum class Phase { Idle, Connecting, Handshaking, Open, Done };

    struct Outgoing {
        bool close = false;
        uint32_t type = 0;          // message type, or the close code
        std::vector<uint8_t> data;  // the message, or the close reason
    };

    struct Failure {
        uint32_t result;
        int32_t net_error;
        int32_t response = 0;
        std::string message;
    };

    // The phase whose deadline passed by `now` (HY_TIMEOUT_PHASE_*), NONE
    // when none did; when the total and a phase both passed, the one that
    // ran out first.
    uint32_t expired_phase(Clock::time_point now) const;

    // Runs a network-thread step: a failure ends the connection instead of
    // escaping into the loop.
    template <typename F>
    void guarded(F&& body) {
        contain(body, [&](Fault fault) {
            if (fault == Fault::OutOfMemory) {
                fail({HY_OUT_OF_MEMORY, -13, 0, "out of memory"});
            } else {
                fail({HY_NETWORK, -2, 0, "internal failure"});
            }
        });
    }
    void post(void (WebSocket::*step)());
    void run_step(void (WebSocket::*step)());
    // send's checks and queueing; the kick as for kick().
    uint32_t queue_message(uint32_t type, const uint8_t* data, uint64_t len, bool for_driver);
    // Has the queued messages and closes taken on the loop; `for_driver`:
    // the poster runs the loop next, so the network thread is not woken.
    void kick(bool for_driver = false);

    // Steps run on the network thread.
    void on_start();
    void on_cancel();
    void on_kick();

    CURLcode configure();                    // connect.cpp
    void begin_handshake();                  // connect.cpp
    void read_handshake_answer();            // connect.cpp
    // Reads what the socket holds into read_buffer_: its length (0: the
    // peer closed), or nothing when no data is there now or the read
    // failed (the connection has then failed).
    std::optional<size_t> receive_some();
    void open_connection(std::string protocol, std::string extensions, std::optional<DeflateParams> deflate,
                         size_t head_len);   // connect.cpp
    void store_cookies(const std::vector<std::string>& set_cookies);  // connect.cpp

    void service(bool readable);
    void take_outgoing();
    void feed_session();
    bool write_pending(std::string_view* handshake);
    void read_frames();
    void check_end();
    void begin_closing();

    Failure curl_failure(CURLcode code) const;
    void fail(Failure failure);
    void finish_closed();
    void detach() noexcept;

    // FrameSession::Listener
    void on_session_message(uint32_t type, bool compressed, const uint8_t* data, size_t len) override;
    void on_session_close(uint16_t code, std::string_view reason) override;

    const std::shared_ptr<Engine> engine_;
    const WebSocketSpec spec_;
    DeflateOffer deflate_offer_;              // set before start, then read by the network thread

    // Shared with API threads; also holds the module's handle reference.
    Lifecycle lifecycle_;
    std::atomic<bool> open_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> kick_pending_{false};
    std::mutex queue_mutex_;                  // guards queued_ and the unsent count's checks
    std::deque<Outgoing> queued_;
    BufferShelf send_shelf_;                  // framed messages' buffers, for the next sends
    std::atomic<uint64_t> unsent_bytes_{0};
    // Set before start (read by the network thread after the start's post);
    // the phase that timed out is stored before on_error.
    std::atomic<uint64_t> connect_ms_{0};
    std::atomic<uint64_t> handshake_ms_{0};
    std::atomic<uint32_t> expired_phase_{HY_TIMEOUT_PHASE_NONE};

    // Network thread only.
    Phase phase_ = Phase::Idle;
    std::optional<Clock::time_point> total_deadline_;   // the total (timeout_ms), until open
    std::optional<Clock::time_point> phase_deadline_;     // the connect or handshake limit
    std::optional<Clock::time_point> closing_deadline_;
    CURL* easy_ = nullptr;
    curl_socket_t socket_ = CURL_SOCKET_BAD;
    char error_buffer_[CURL_ERROR_SIZE] = {};
    std::string key_;
    std::string request_;                     // handshake request bytes not yet written
    std::string answer_;                      // handshake answer read so far
    std::deque<Outgoing> pending_;            // taken from queued_, not yet framed
    FrameSession session_;
    std::vector<uint8_t> read_buffer_;
    bool read_more_ = false;                  // a read stopped at its per-round bound
    bool closing_reported_ = false;
    bool closed_locally_ = false;
    std::optional<CloseFrame> peer_close_;
    // The thread inside on_message, if any (read by take_message, which
    // any thread may call).
    std::atomic<std::thread::id> reporting_thread_{};
};

}  // namespace halyard
