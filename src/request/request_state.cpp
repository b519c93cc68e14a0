#include "request/request_state.h"

#include <chrono>
#include <cctype>
#include <cstring>

#include "module/core_extensions.h"
#include "module/core_ranges.h"
#include "module/driven_wait.h"
#include "module/gil.h"

namespace vesper {

namespace {

// Texts of failures the module finds itself.
constexpr const char* kNoHead = "request completed without a response head";
constexpr const char* kHeadAlreadyTaken = "response head was already taken";

// Chromium's ERR_ABORTED, the network error of a cancelled request.
constexpr int32_t kNetErrorAborted = -3;

// Emptied chunks from this size on are shelved for the next chunks (up to
// what the pause lets queue); the allocator serves smaller ones from its own
// caches.
constexpr size_t kShelvedChunkMin = 4096;

// Reads of more than this are not allocated up front from a head's word.
constexpr uint64_t kMaxLengthHint = 1ull << 30;

bool header_is(const uint8_t* line, size_t len, const char* name) {
    const size_t n = std::strlen(name);
    if (len <= n || line[n] != ':') return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(line[i]) != name[i]) return false;
    }
    return true;
}

// Content-Length of a head block whose body is not encoded, else 0.
uint64_t announced_length(const uint8_t* head, size_t len) {
    uint64_t length = 0;
    size_t at = 0;
    while (at < len) {
        size_t end = at;
        while (end < len && head[end] != '\n') ++end;
        const uint8_t* line = head + at;
        const size_t line_len = end - at;
        if (header_is(line, line_len, "content-encoding")) return 0;
        if (header_is(line, line_len, "content-length")) {
            uint64_t value = 0;
            bool digits = false;
            for (size_t i = sizeof "content-length"; i < line_len; ++i) {
                const uint8_t c = line[i];
                if (c == ' ' || c == '\t' || c == '\r') continue;
                if (c < '0' || c > '9' || value > kMaxLengthHint) return 0;
                value = value * 10 + (c - '0');
                digits = true;
            }
            if (!digits || value > kMaxLengthHint) return 0;
            length = value;
        }
        at = end + 1;
    }
    return length;
}

}  // namespace

// ----------------------------------------------------------- Core callbacks

void RequestState::record_fault() noexcept {
    try {
        std::lock_guard lock(mutex_);
        if (outcome_ == kRunning) {
            outcome_ = static_cast<int>(ErrorKind::CallbackPanic);
            raw_code_ = 0;
            net_error_ = 0;
            if (!completed_) cancel_request_.store(true, std::memory_order_release);
        }
        wake_all_locked();
    } catch (...) {
        // Nothing more can be recorded; the fault still stops here.
    }
}

void RequestState::on_response(int32_t status, const uint8_t* head, uint64_t len) {
    try {
        Bytes block = copy_core_bytes(head, len);
        length_hint_.store(announced_length(block.data(), block.size()), std::memory_order_release);
        std::lock_guard lock(mutex_);
        status_ = status;
        head_ = std::move(block);
        wake_all_locked();
    } catch (...) {
        record_fault();
    }
    notifier_.fire();
}

int32_t RequestState::on_data(const uint8_t* data, uint64_t len) {
    int32_t answer = HY_DATA_CONTINUE;
    bool fire = true;
    try {
        // With no reader's buffer posted (the usual case) the chunk is copied
        // before the lock is taken; a buffer posted meanwhile finds it queued.
        const bool copied = posted_.load(std::memory_order_relaxed) == nullptr;
        Bytes chunk = copied ? fill_chunk(data, len) : Bytes{};
        std::lock_guard lock(mutex_);
        // After a callback fault the body has a gap: nothing that comes
        // later is handed out, and the Core stops reading until the reader
        // that sees the failure cancels the request.
        if (failed_locked()) return HY_DATA_PAUSE;
        // A reader waits with its buffer and nothing is queued before these
        // bytes: they go straight into it, the rest (if any) is queued.
        uint64_t taken = 0;
        if (uint8_t* const posted = posted_.load(std::memory_order_relaxed);
            !copied && posted != nullptr && chunks_.empty()) {
            taken = std::min<uint64_t>(len, posted_room_ - posted_filled_);
            if (taken != 0) std::memcpy(posted + posted_filled_, data, static_cast<size_t>(taken));
            posted_filled_ += static_cast<size_t>(taken);
        }
        // An empty piece is queued as it came (poll events show it).
        if (len == 0 || taken < len) {
            if (!copied && taken < len) {
                chunk = shelved_locked();
                chunk.assign(data + taken, data + len);
            }
            buffered_ = saturating_add(buffered_, chunk.size());
            chunks_.push_back(std::move(chunk));
            // Pausing matters while the Core still delivers; after a
            // callback fault it still does, so the queue stays bounded then
            // too.
            if (buffered_ >= kPauseAtBytes && !completed_) {
                paused_ = true;
                answer = HY_DATA_PAUSE;
            }
        }
        // A reader that takes by itself is told only when it waits.
        fire = !edges_only_ || reader_waiting_;
        wake_all_locked();
    } catch (...) {
        record_fault();
    }
    if (fire) notifier_.fire();
    return answer;
}

void RequestState::on_complete(uint32_t result, int32_t net_error, uint32_t timeout_phase) {
    // No chunk comes any more: the shelf is freed (after the lock).
    std::vector<Bytes> shelf;
    try {
        std::lock_guard lock(mutex_);
        completed_ = true;
        shelf.swap(shelf_);
        shelf_bytes_ = 0;
        // A callback fault may have lost a chunk: the request stays failed
        // rather than end as a success with a gap in its body.
        if (outcome_ != static_cast<int>(ErrorKind::CallbackPanic)) {
            if (result == HY_OK) {
                outcome_ = kSucceeded;
            } else {
                outcome_ = static_cast<int>(CoreError::from_result(result).kind);
            }
            raw_code_ = result;
            net_error_ = net_error;
            timeout_phase_ = timeout_phase;
        }
        wake_all_locked();
    } catch (...) {
        record_fault();
    }
    notifier_.fire();
    drop_context_reference();
}

void RequestState::on_redirect(int32_t status, const uint8_t* raw, uint64_t raw_len, const char* location,
                               uint64_t location_len, const char* method, uint64_t method_len) {
    try {
        RedirectRecord record{status, copy_core_bytes(raw, raw_len), copy_core_text(location, location_len),
                              copy_core_text(method, method_len)};
        std::lock_guard lock(mutex_);
        redirects_.push_back(std::move(record));
        if (manual_redirects_.load(std::memory_order_relaxed)) deferred_ = true;
        wake_all_locked();
    } catch (...) {
        record_fault();
    }
    notifier_.fire();
}

bool RequestState::redirect_deferred() const {
    std::lock_guard lock(mutex_);
    return deferred_ && outcome_ == kRunning;
}

void RequestState::redirect_followed() {
    std::lock_guard lock(mutex_);
    deferred_ = false;
}

void RequestState::drop_context_reference() {
    if (context_reference_.exchange(false, std::memory_order_acq_rel)) release();
}

// ------------------------------------------------------------ take and wait

RequestFailure RequestState::failure_locked() const {
    return RequestFailure{CoreError::from_index(outcome_, raw_code_), net_error_, nullptr, timeout_phase_};
}

std::optional<RedirectRecord> RequestState::take_redirect() {
    std::lock_guard lock(mutex_);
    if (redirects_.empty()) return std::nullopt;
    RedirectRecord record = std::move(redirects_.front());
    redirects_.pop_front();
    return record;
}

uint64_t RequestState::wakes() const {
    std::lock_guard lock(mutex_);
    return wakes_;
}

template <class Ready>
bool RequestState::wait_locked(hy_request* core, std::unique_lock<std::mutex>& lock, uint64_t wait_ms, Ready ready) {
    return driven_wait(core_extensions().request_drive, core, lock, changed_, wait_ms, ready);
}

RedirectWait RequestState::wait_redirect_since(hy_request* core, uint64_t since, uint64_t wait_ms) {
    std::unique_lock lock(mutex_);
    const auto pop = [&]() -> std::optional<RedirectRecord> {
        if (redirects_.empty()) return std::nullopt;
        RedirectRecord record = std::move(redirects_.front());
        redirects_.pop_front();
        return record;
    };
    if (auto record = pop()) return {std::move(*record), true};
    // An ended request sends no more redirects: answer at once instead of
    // waiting out the whole timeout.
    if (outcome_ != kRunning) {
        if (failed_locked()) return {CoreError::from_index(outcome_, raw_code_), true};
        return {std::monostate{}, true};
    }
    // A wake-up that came between two slices ends the wait as one that
    // comes during this slice does.
    if (wakes_ == since) wait_locked(core, lock, wait_ms, [&] { return wakes_ != since; });
    if (wakes_ == since) return {std::monostate{}, false};
    if (auto record = pop()) return {std::move(*record), true};
    if (failed_locked()) return {CoreError::from_index(outcome_, raw_code_), true};
    return {std::monostate{}, true};
}

RedirectTake RequestState::wait_redirect(hy_request* core, uint64_t wait_ms) {
    return wait_redirect_since(core, wakes(), wait_ms).taken;
}

HeadTake RequestState::take_head_locked() {
    if (head_taken_) return std::monostate{};
    if (head_) {
        head_taken_ = true;
        Head head{status_, std::move(*head_)};
        head_.reset();
        return head;
    }
    if (failed_locked()) {
        head_taken_ = true;
        return failure_locked();
    }
    if (outcome_ == kSucceeded) {
        // The Core ended the request without ever reporting a head: nothing
        // will arrive, so waiting for one must not go on for ever.
        head_taken_ = true;
        return RequestFailure{CoreError{ErrorKind::InvalidState}, 0, kNoHead};
    }
    return std::monostate{};
}

HeadTake RequestState::take_head() {
    std::lock_guard lock(mutex_);
    return take_head_locked();
}

ChunkTake RequestState::end_locked(bool& cancel) {
    if (outcome_ == kRunning) return std::monostate{};
    if (outcome_ == kSucceeded || failure_reported_) return EndOfBody{};
    failure_reported_ = true;
    cancel = !completed_;
    return failure_locked();
}

void RequestState::after_take(hy_request* core, bool resume, bool cancel) {
    if (!cancel && !resume) return;
    // A reader may look with the interpreter lock held (the first look of
    // a wait, a poll): the Core is called without it all the same.
    const auto call = [&] {
        if (cancel) {
            hy_request_cancel(core);
        } else {
            hy_request_resume_read(core);
        }
    };
    if (gil_held()) {
        GilRelease release;
        call();
    } else {
        call();
    }
}

void RequestState::after_take_locked(bool& resume) {
    if (paused_ && buffered_ < kPauseAtBytes) {
        paused_ = false;
        resume = true;
    }
    wake_all_locked();
}

ChunkTake RequestState::take_chunk_locked(bool& resume, bool& cancel) {
    ChunkTake taken;
    if (!chunks_.empty()) {
        Bytes chunk = std::move(chunks_.front());
        chunks_.pop_front();
        if (front_offset_ != 0) {
            // What a copy left of this chunk.
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(front_offset_));
            front_offset_ = 0;
        }
        buffered_ = chunk.size() > buffered_ ? 0 : buffered_ - chunk.size();
        taken = std::move(chunk);
    } else {
        taken = end_locked(cancel);
        if (std::holds_alternative<std::monostate>(taken)) return taken;
    }
    after_take_locked(resume);
    return taken;
}

ChunkTake RequestState::take_chunk(hy_request* core) {
    bool resume = false;
    bool cancel = false;
    ChunkTake taken;
    {
        std::lock_guard lock(mutex_);
        taken = take_chunk_locked(resume, cancel);
    }
    after_take(core, resume, cancel);
    return taken;
}

HeadTake RequestState::wait_head_for(hy_request* core, uint64_t wait_ms) {
    std::unique_lock lock(mutex_);
    if (head_taken_) return RequestFailure{CoreError{ErrorKind::InvalidState}, 0, kHeadAlreadyTaken};
    HeadTake taken = take_head_locked();
    if (!std::holds_alternative<std::monostate>(taken) || wait_ms == 0) return taken;
    // Any change ends the wait (a redirect held for follow_redirect too);
    // the head is looked for again below.
    const uint64_t since = wakes_;
    wait_locked(core, lock, wait_ms, [&] { return wakes_ != since || head_ || outcome_ != kRunning; });
    if (head_taken_) return RequestFailure{CoreError{ErrorKind::InvalidState}, 0, kHeadAlreadyTaken};
    return take_head_locked();
}

ChunkTake RequestState::wait_chunk_for(hy_request* core, uint64_t wait_ms) {
    bool resume = false;
    bool cancel = false;
    ChunkTake taken;
    {
        std::unique_lock lock(mutex_);
        if (!readable_locked() && wait_ms != 0) {
            wait_locked(core, lock, wait_ms, [&] { return readable_locked(); });
        }
        taken = take_chunk_locked(resume, cancel);
    }
    after_take(core, resume, cancel);
    return taken;
}

bool RequestState::wait_body_for(hy_request* core, uint64_t wait_ms) {
    std::unique_lock lock(mutex_);
    if (readable_locked() || wait_ms == 0) return readable_locked();
    return wait_locked(core, lock, wait_ms, [&] { return readable_locked(); });
}

size_t RequestState::copy_queued_locked(uint8_t* out, size_t copied, size_t capacity) {
    const size_t before = copied;
    while (!chunks_.empty() && copied < capacity) {
        Bytes& front = chunks_.front();
        const size_t n = std::min(front.size() - front_offset_, capacity - copied);
        if (n != 0) std::memcpy(out + copied, front.data() + front_offset_, n);  // empty chunks hold no pointer
        copied += n;
        front_offset_ += n;
        if (front_offset_ == front.size()) pop_front_locked();
    }
    const size_t taken = copied - before;
    buffered_ = taken > buffered_ ? 0 : buffered_ - taken;
    return copied;
}

void RequestState::pop_front_locked() {
    Bytes& front = chunks_.front();
    const size_t capacity = front.capacity();
    if (!completed_ && capacity >= kShelvedChunkMin && shelf_bytes_ + capacity <= kPauseAtBytes) {
        try {
            shelf_.push_back(std::move(front));  // a vector's move: on a failed growth `front` is intact
            shelf_bytes_ += capacity;
        } catch (...) {
            // Not shelved: freed with the chunk.
        }
    }
    chunks_.pop_front();
    front_offset_ = 0;
}

Bytes RequestState::shelved_locked() {
    Bytes chunk;
    if (!shelf_.empty()) {
        chunk = std::move(shelf_.back());
        shelf_.pop_back();
        shelf_bytes_ -= chunk.capacity();
    }
    return chunk;
}

Bytes RequestState::fill_chunk(const uint8_t* data, uint64_t len) {
    Bytes chunk;
    if (len == 0) return chunk;
    {
        std::lock_guard lock(mutex_);
        chunk = shelved_locked();
    }
    chunk.assign(data, data + len);
    return chunk;
}

CopyTake RequestState::copy_result_locked(size_t copied, bool& resume, bool& cancel) {
    CopyTake taken;
    if (copied != 0) {
        taken = copied;
    } else if (chunks_.empty()) {
        ChunkTake end = end_locked(cancel);
        if (std::holds_alternative<EndOfBody>(end)) taken = EndOfBody{};
        if (auto* failure = std::get_if<RequestFailure>(&end)) taken = *failure;
    }
    if (!std::holds_alternative<std::monostate>(taken)) after_take_locked(resume);
    return taken;
}

CopyTake RequestState::copy_into(hy_request* core, uint8_t* out, size_t capacity) {
    bool resume = false;
    bool cancel = false;
    CopyTake taken;
    {
        std::lock_guard lock(mutex_);
        taken = copy_result_locked(copy_queued_locked(out, 0, capacity), resume, cancel);
    }
    after_take(core, resume, cancel);
    return taken;
}

CopyTake RequestState::wait_into(hy_request* core, uint8_t* out, size_t capacity, uint64_t wait_ms) {
    bool resume = false;
    bool cancel = false;
    CopyTake taken;
    {
        std::unique_lock lock(mutex_);
        size_t copied = 0;
        // One posted buffer at a time; another reader waits for the queue.
        if (!readable_locked() && wait_ms != 0 && capacity != 0 && posted_.load(std::memory_order_relaxed) == nullptr) {
            posted_.store(out, std::memory_order_relaxed);
            posted_room_ = capacity;
            posted_filled_ = 0;
            wait_locked(core, lock, wait_ms, [&] { return posted_filled_ != 0 || readable_locked(); });
            copied = posted_filled_;
            posted_.store(nullptr, std::memory_order_relaxed);
            posted_room_ = 0;
            posted_filled_ = 0;
        } else if (!readable_locked() && wait_ms != 0) {
            wait_locked(core, lock, wait_ms, [&] { return readable_locked(); });
        }
        taken = copy_result_locked(copy_queued_locked(out, copied, capacity), resume, cancel);
    }
    after_take(core, resume, cancel);
    return taken;
}

CopyTake RequestState::take_available(hy_request* core, uint8_t* out, size_t capacity) {
    bool resume = false;
    bool cancel = false;
    CopyTake taken;
    {
        std::lock_guard lock(mutex_);
        // Empty pieces are skipped: they would hide the end from a take of
        // nothing.
        while (!chunks_.empty() && chunks_.front().size() == front_offset_) pop_front_locked();
        taken = copy_result_locked(copy_queued_locked(out, 0, capacity), resume, cancel);
        if (std::holds_alternative<std::monostate>(taken)) reader_waiting_ = true;
    }
    after_take(core, resume, cancel);
    return taken;
}

void RequestState::signal_edges_only() {
    std::lock_guard lock(mutex_);
    edges_only_ = true;
}

BodySignal RequestState::take_body_signal() {
    std::lock_guard lock(mutex_);
    if (outcome_ != kRunning) {
        if (end_signalled_) return BodySignal::None;
        end_signalled_ = true;
        return BodySignal::Ended;
    }
    if (reader_waiting_ && !chunks_.empty()) {
        reader_waiting_ = false;
        return BodySignal::Readable;
    }
    return BodySignal::None;
}

void RequestState::unread(Bytes bytes) {
    std::lock_guard lock(mutex_);
    if (front_offset_ != 0) {
        Bytes& front = chunks_.front();
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(front_offset_));
        front_offset_ = 0;
    }
    buffered_ = saturating_add(buffered_, bytes.size());
    chunks_.push_front(std::move(bytes));
    wake_all_locked();
}

std::optional<RequestFailure> RequestState::failure() const {
    std::lock_guard lock(mutex_);
    if (!failed_locked()) return std::nullopt;
    return failure_locked();
}

void RequestState::cancel_unstarted() {
    {
        std::lock_guard lock(mutex_);
        if (outcome_ != kRunning) return;
        outcome_ = static_cast<int>(ErrorKind::Canceled);
        raw_code_ = static_cast<uint32_t>(ErrorKind::Canceled) + 1;
        net_error_ = kNetErrorAborted;
        wake_all_locked();
    }
    notifier_.fire();
}

uint64_t RequestState::queued_bytes() const {
    std::lock_guard lock(mutex_);
    return buffered_;
}

bool RequestState::is_finished() const {
    std::lock_guard lock(mutex_);
    return outcome_ != kRunning;
}

}  // namespace vesper
