// The upload queue of a streamed request body.
//
// Writers (Python threads, through hy_request_upload_write) append copies of
// their data; the network thread takes bytes out from curl's read callback.
// A writer waits while more than `limit` bytes are queued and unsent, until
// the network thread has sent enough or the queue is closed because the
// request ended.  "Enough" is down to half the limit: woken at the limit
// itself, a writer of large pieces would go over it again at once, and
// every piece would cost both threads a sleep and a wake-up.
//
// The memory of pieces the reader emptied is kept (up to the limit, and
// only until the final piece is written) for the pieces written next, and
// pieces are copied outside the lock: with a fresh allocation per 64 KiB
// piece, freed on the network thread, the allocator gave pages back and
// faulted them in again, about 10,000 page faults per 64 MiB uploaded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace halyard {

class UploadQueue {
public:
    static constexpr uint64_t kDefaultLimit = 1024 * 1024;

    explicit UploadQueue(uint64_t limit = kDefaultLimit) : limit_(limit) {}

    enum class ReadResult { Data, Empty, End, Aborted };

    struct AppendResult {
        uint32_t code;      // HY_OK, or why the data was refused
        bool needs_kick;    // the reader paused on an empty queue: wake it
    };

    // Appends a copy of data (and marks the end when final); never blocks.
    // Refuses with HY_INVALID_STATE a write after the final piece; once the
    // queue is closed, every write gets the code given to close().
    AppendResult append(const uint8_t* data, uint64_t len, bool final);

    // Waits while more than the limit is queued, and once waiting, until at
    // most half the limit is.  HY_OK once there is room, or the code given
    // to close() when the queue was closed first, unless the reader had
    // already taken the final piece: then every byte went out, and the
    // request ending (successfully, most often, while the writer of the
    // last piece was on its way to this wait) is no failure of the write.  The
    // caller wakes a paused reader (needs_kick) before waiting, or the two
    // would wait for each other.
    uint32_t wait_for_room();

    // wait_for_room for at most `ms` milliseconds, for writers that wait in
    // slices: `held` is true (and the result HY_OK) when the time ran out
    // first; the close code, HY_TIMEOUT among them, cannot tell it apart.  A wait that found more than
    // the limit queued holds this and later timed waits until at most half
    // the limit is, as one long wait_for_room would.  `ms` of kNoEnd or
    // more waits without end.
    static constexpr uint64_t kNoEnd = uint64_t{1} << 40;  // ms, about 35 years
    uint32_t wait_for_room_for(uint64_t ms, bool& held);

    // Network thread: copies up to `size` bytes into `out`.  Data: `copied`
    // bytes were taken; Empty: nothing queued yet and the end not reached (the
    // reader should pause; the next write reports needs_kick); End: every byte
    // has been taken and the final piece has come; Aborted: the queue was
    // closed before the final piece, so the body must not end normally.
    ReadResult read(uint8_t* out, size_t size, size_t& copied);

    // Ends the queue: queued data is dropped, waiting writers wake and get
    // `code`, as do all later writes.
    void close(uint32_t code);

    uint64_t queued() const;
    // The capacity kept from emptied pieces for the next ones.
    uint64_t spare_bytes() const;

private:
    // Memory for the next piece: a spare one, or none (then it is allocated
    // as it is filled).
    std::vector<uint8_t> spare_locked();
    // Drops pieces_.front(), keeping its memory as a spare while there is
    // room for it.
    void pop_front_locked();

    const uint64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable room_;
    std::deque<std::vector<uint8_t>> pieces_;
    std::vector<std::vector<uint8_t>> spares_;  // emptied pieces' memory
    uint64_t spare_bytes_ = 0;                   // their capacity
    size_t front_offset_ = 0;
    uint64_t queued_ = 0;
    bool final_ = false;
    bool closed_ = false;
    uint32_t close_code_ = 0;
    bool reader_waiting_ = false;
    bool final_taken_ = false;   // read() has reported End after the final piece
    // Every byte up to the end of the final piece went to the reader: a body
    // of declared length is complete without read() ever reporting End.
    bool final_read_ = false;
    bool draining_ = false;      // a timed wait is holding writers to half the limit
};

}  // namespace halyard
