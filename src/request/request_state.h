// RequestState: where the Core's callbacks for one request meet the Python
// callers that wait on it or poll it.  Plain C++: Core threads run the
// callbacks without the interpreter lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "async/notifier.h"
#include "halyard.h"
#include "module/convert.h"
#include "module/core_error.h"
#include "module/network_thread.h"
#include "module/shared.h"

namespace vesper {

struct RedirectRecord {
    int32_t status = 0;
    Bytes raw;             // the Core's block, byte for byte
    std::string location;  // first text, decoded lossily
    std::string method;    // second text, decoded lossily
};

struct Head {
    int32_t status = 0;
    Bytes block;
};

// A failed request as a reader sees it: the kind and the network error, or
// a failure the module found itself, with its own text.
struct RequestFailure {
    CoreError error{ErrorKind::InvalidState};
    int32_t net_error = 0;
    const char* own_text = nullptr;
    uint32_t timeout_phase = HY_TIMEOUT_PHASE_NONE;  // the Core's phase that ran out

    std::string text() const { return own_text ? std::string(own_text) : request_failure_text(error, net_error); }
};

struct EndOfBody {};

// What the event hub tells a request's reader once the head went out.
enum class BodySignal {
    None,
    Readable,  // a reader that found nothing may take again
    Ended,     // the request ended (told once); what is left is taken from the state
};

using HeadTake = std::variant<std::monostate, Head, RequestFailure>;
using ChunkTake = std::variant<std::monostate, Bytes, EndOfBody, RequestFailure>;
// A copy into a caller's buffer: how many bytes (never 0), or the end.
using CopyTake = std::variant<std::monostate, size_t, EndOfBody, RequestFailure>;
using RedirectTake = std::variant<std::monostate, RedirectRecord, CoreError>;
// A slice of a redirect wait: what it took, and whether the wait is over
// (a record, the request's end, or any wake-up since the wait began).
struct RedirectWait {
    RedirectTake taken;
    bool ended = false;
};

// Flow control: the Core is asked to pause once this much body is queued,
// and resumed once a reader brings it back below.
inline constexpr uint64_t kPauseAtBytes = 1'048'576;

class RequestState final : public RefCounted {
public:
    // ---- Core callbacks (Core threads) ----
    // They raise nothing; they are not noexcept only because notifying a
    // loop in a finalizing interpreter ends the thread by unwinding.
    void on_response(int32_t status, const uint8_t* head, uint64_t len);
    int32_t on_data(const uint8_t* data, uint64_t len);
    void on_complete(uint32_t result, int32_t net_error, uint32_t timeout_phase = HY_TIMEOUT_PHASE_NONE);
    void on_redirect(int32_t status, const uint8_t* raw, uint64_t raw_len, const char* location,
                     uint64_t location_len, const char* method, uint64_t method_len);

    // ---- take and wait (Python threads) ----
    std::optional<RedirectRecord> take_redirect();
    // One wait of at most `wait_ms`: a record, or nothing (or the
    // failure) at the first wake-up for any reason.
    // Each wait of at most `wait_ms` runs the engine's loop on the waiting
    // thread when the Core can (`core`: the started request; see
    // module/driven_wait.h).
    RedirectTake wait_redirect(hy_request* core, uint64_t wait_ms);
    // Counts wake-ups: a wait cut into slices passes the count it began
    // with, so a wake-up between two slices still ends it.
    uint64_t wakes() const;
    RedirectWait wait_redirect_since(hy_request* core, uint64_t since, uint64_t wait_ms);
    HeadTake take_head();
    // `core` is resumed (with no lock held) when a take brings the queue
    // back under the pause threshold.
    ChunkTake take_chunk(hy_request* core);
    // The same with one wait of at most `wait_ms` (0: only look).
    HeadTake wait_head_for(hy_request* core, uint64_t wait_ms);
    ChunkTake wait_chunk_for(hy_request* core, uint64_t wait_ms);
    // Waits at most `wait_ms` for body bytes or the end; true if either is there.
    bool wait_body_for(hy_request* core, uint64_t wait_ms);
    // Copies up to `capacity` queued body bytes to `out`; the rest of a
    // chunk stays first in the queue for the next read of any kind.
    CopyTake copy_into(hy_request* core, uint8_t* out, size_t capacity);
    // One wait of at most `wait_ms` for body bytes in `out`: while the
    // queue is empty, `out` is posted to the callbacks, which write what
    // arrives straight into it (one copy from the Core's buffer, no
    // chunk); then queued bytes fill what room is left.  `out` is never
    // written once this returns.
    CopyTake wait_into(hy_request* core, uint8_t* out, size_t capacity, uint64_t wait_ms);
    // Copies up to `capacity` queued bytes to `out` without waiting; with
    // nothing queued, the end, the failure (once), or nothing yet, and then
    // the reader counts as waiting: the next bytes or the end make
    // take_body_signal answer Readable.
    CopyTake take_available(hy_request* core, uint8_t* out, size_t capacity);
    // From now on a body chunk fires the notifier only while a reader
    // waits (take_available found nothing): the event hub's edge.
    void signal_edges_only();
    BodySignal take_body_signal();
    // Puts bytes taken by a reader back at the front (a read that ran out
    // of time or was interrupted gives back what it had gathered).
    void unread(Bytes bytes);
    bool is_finished() const;
    // Body bytes queued for readers (what copy_into can take without waiting).
    uint64_t queued_bytes() const;
    // Ends a request cancelled before its start as Canceled (the Core
    // reports nothing for it).
    void cancel_unstarted();
    // The request's failure with its network error, once it has failed.
    std::optional<RequestFailure> failure() const;
    // The body length the head announced (Content-Length without a
    // Content-Encoding), 0 when none: a size to allocate, never trusted.
    uint64_t length_hint() const { return length_hint_.load(std::memory_order_acquire); }

    NotifierSlot& notifier() { return notifier_; }

    // The network thread its callbacks run on (module/network_thread.h);
    // set before the Core request is created.
    void set_network(NetworkRef network) { network_ = std::move(network); }
    const NetworkIdentity* network() const { return network_.get(); }

    // True once after a callback fault failed the running request: the
    // callback's caller then cancels the Core request.
    bool take_cancel_request() { return cancel_request_.exchange(false, std::memory_order_acq_rel); }

    // Manual redirect mode: the Core holds each redirect until
    // follow_redirect, so a wait for the head alone would never end.
    void set_manual_redirects(bool manual) { manual_redirects_ = manual; }
    // A redirect waits for follow_redirect (manual mode only).
    bool redirect_deferred() const;
    void redirect_followed();

    // Drops the Core's context reference once, whoever comes first: the
    // completion, a failed creation, or the release of an unstarted request.
    void drop_context_reference();


private:
    static constexpr int kRunning = -2;
    static constexpr int kSucceeded = -1;

    ~RequestState() override = default;

    bool failed_locked() const { return outcome_ >= 0; }
    RequestFailure failure_locked() const;
    HeadTake take_head_locked();
    ChunkTake take_chunk_locked(bool& resume, bool& cancel);
    // The end of the body once the queue is empty: nothing yet, the end,
    // or the failure (reported once).  A failure the module recorded while
    // the Core still runs (a callback fault) sets `cancel`: the reader that
    // reports it cancels the Core request, so the download stops.
    ChunkTake end_locked(bool& cancel);
    // Copies queued bytes to out[copied:capacity]; returns the new count.
    size_t copy_queued_locked(uint8_t* out, size_t copied, size_t capacity);
    // Drops chunks_.front(), putting its memory on the shelf while the
    // Core still delivers.
    void pop_front_locked();
    // Memory for the next chunk: a shelved one, or none (then it is
    // allocated as it is filled).
    Bytes shelved_locked();
    // A chunk holding data[0:len], filled outside the lock.
    Bytes fill_chunk(const uint8_t* data, uint64_t len);
    // What a copy took once it has its count: bytes, the end, the failure
    // or nothing yet.
    CopyTake copy_result_locked(size_t copied, bool& resume, bool& cancel);
    bool readable_locked() const { return !chunks_.empty() || outcome_ != kRunning; }
    void after_take_locked(bool& resume);
    // One wait of at most `wait_ms` for `ready`, driven when it can be.
    template <class Ready>
    bool wait_locked(hy_request* core, std::unique_lock<std::mutex>& lock, uint64_t wait_ms, Ready ready);
    // Resumes or cancels the Core request after a take, with no lock held.
    static void after_take(hy_request* core, bool resume, bool cancel);
    // A fault while recording: the request fails with CallbackPanic (if it
    // still runs) and the fault goes no further.
    void record_fault() noexcept;

    // Wakes every waiter, counting the wake-up.
    void wake_all_locked() {
        ++wakes_;
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t wakes_ = 0;
    std::deque<Bytes> chunks_;
    // The memory of chunks (from 4 KiB) the readers emptied, reused by the
    // next chunks while the Core delivers: with a fresh allocation per
    // chunk, a reader's 256 KiB takes between them made the allocator hand
    // pages back and fault them in again (about 10,000 page faults per
    // 64 MiB downloaded).  At most what the pause lets queue (1 MiB); let
    // go when the Core completes.
    std::vector<Bytes> shelf_;
    uint64_t shelf_bytes_ = 0;  // the shelved chunks' capacity
    size_t front_offset_ = 0;  // bytes of chunks_.front() already copied out
    // A waiting reader's buffer the callbacks fill while the queue is empty.
    // Set and cleared under mutex_; read without it only as a hint of
    // whether to copy a chunk before locking.
    std::atomic<uint8_t*> posted_{nullptr};
    size_t posted_room_ = 0;
    size_t posted_filled_ = 0;
    std::deque<RedirectRecord> redirects_;
    int32_t status_ = 0;
    std::optional<Bytes> head_;
    uint64_t buffered_ = 0;
    int outcome_ = kRunning;  // -2 running, -1 succeeded, else the ErrorKind
    uint32_t raw_code_ = 0;
    int32_t net_error_ = 0;
    uint32_t timeout_phase_ = HY_TIMEOUT_PHASE_NONE;
    bool head_taken_ = false;
    bool paused_ = false;
    bool failure_reported_ = false;
    bool completed_ = false;  // on_complete has been seen
    bool deferred_ = false;   // a manual redirect waits for follow_redirect
    bool edges_only_ = false;     // signal_edges_only was called
    bool reader_waiting_ = false;  // take_available found nothing since the last Readable
    bool end_signalled_ = false;   // take_body_signal answered Ended
    std::atomic<bool> manual_redirects_{false};
    NotifierSlot notifier_;
    NetworkRef network_;
    std::atomic<bool> context_reference_{true};
    std::atomic<bool> cancel_request_{false};
    std::atomic<uint64_t> length_hint_{0};

    friend class RefCounted;
};

}  // namespace vesper
