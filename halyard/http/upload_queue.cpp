#include "http/upload_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "halyard.h"

namespace halyard {

namespace {

// Emptied pieces from this size on are kept; the allocator serves smaller
// ones from its own caches.
constexpr size_t kSpareMin = 4096;

}  // namespace

UploadQueue::AppendResult UploadQueue::append(const uint8_t* data, uint64_t len, bool final) {
    std::vector<uint8_t> piece;
    if (len > 0) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return {close_code_, false};
            if (final_) return {HY_INVALID_STATE, false};
            piece = spare_locked();
        }
        // Copied without the lock, so the reader is not held up meanwhile.
        piece.assign(data, data + len);
    }
    std::vector<std::vector<uint8_t>> unused;  // freed after the lock
    std::lock_guard lock(mutex_);
    // Checked again: the request may have ended, or another writer sent the
    // final piece, while this piece was copied.
    if (closed_) return {close_code_, false};
    if (final_) return {HY_INVALID_STATE, false};
    if (len > 0) {
        pieces_.push_back(std::move(piece));
        queued_ += len;
    }
    if (final) {
        final_ = true;
        // No piece follows the final one: the spares are let go.
        unused.swap(spares_);
        spare_bytes_ = 0;
    }
    // Only a reader that paused on an empty queue needs waking; the flag is
    // set and cleared under the same mutex as the data, so no wake-up is lost.
    const bool kick = reader_waiting_ && (len > 0 || final);
    if (kick) reader_waiting_ = false;
    return {HY_OK, kick};
}

std::vector<uint8_t> UploadQueue::spare_locked() {
    std::vector<uint8_t> piece;
    if (!spares_.empty()) {
        piece = std::move(spares_.back());
        spares_.pop_back();
        spare_bytes_ -= piece.capacity();
    }
    return piece;
}

void UploadQueue::pop_front_locked() {
    std::vector<uint8_t>& front = pieces_.front();
    const size_t capacity = front.capacity();
    if (!closed_ && !final_ && capacity >= kSpareMin && spare_bytes_ + capacity <= limit_) {
        try {
            spares_.push_back(std::move(front));  // a vector's move: on a failed growth `front` is intact
            spare_bytes_ += capacity;
        } catch (...) {
            // Not kept: freed with the piece.
        }
    }
    pieces_.pop_front();
    front_offset_ = 0;
}

uint32_t UploadQueue::wait_for_room() {
    std::unique_lock lock(mutex_);
    if (!closed_ && queued_ > limit_) room_.wait(lock, [&] { return closed_ || queued_ <= limit_ / 2; });
    return closed_ && !final_taken_ && !final_read_ ? close_code_ : uint32_t{HY_OK};
}

uint32_t UploadQueue::wait_for_room_for(uint64_t ms, bool& held) {
    held = false;
    std::unique_lock lock(mutex_);
    const auto room = [&] { return closed_ || queued_ <= limit_ / 2; };
    if (!closed_ && (draining_ || queued_ > limit_)) {
        draining_ = true;
        // A zero wait only asks: a timed wait that ends at once still costs
        // a futex call, and an event loop's thread asks once per piece.
        if (ms >= kNoEnd) {
            room_.wait(lock, room);
        } else if (ms == 0 ? !room() : !room_.wait_for(lock, std::chrono::milliseconds(ms), room)) {
            held = true;
            return HY_OK;
        }
        draining_ = false;
    }
    return closed_ && !final_taken_ && !final_read_ ? close_code_ : uint32_t{HY_OK};
}

UploadQueue::ReadResult UploadQueue::read(uint8_t* out, size_t size, size_t& copied) {
    copied = 0;
    std::lock_guard lock(mutex_);
    // Only the final piece ends a body: for curl an end is the terminating
    // chunk, and a server takes what came before it as the whole body.
    if (closed_) return final_taken_ ? ReadResult::End : ReadResult::Aborted;
    while (copied < size && !pieces_.empty()) {
        auto& front = pieces_.front();
        const size_t n = std::min(size - copied, front.size() - front_offset_);
        std::memcpy(out + copied, front.data() + front_offset_, n);
        copied += n;
        front_offset_ += n;
        if (front_offset_ == front.size()) pop_front_locked();
    }
    queued_ -= copied;
    if (final_ && pieces_.empty()) final_read_ = true;
    if (copied > 0) {
        if (queued_ <= limit_ / 2 && queued_ + copied > limit_ / 2) room_.notify_all();
        return ReadResult::Data;
    }
    if (final_) {
        final_taken_ = true;
        return ReadResult::End;
    }
    reader_waiting_ = true;
    return ReadResult::Empty;
}

void UploadQueue::close(uint32_t code) {
    // Freed after the lock: nothing is queued any more.
    std::deque<std::vector<uint8_t>> pieces;
    std::vector<std::vector<uint8_t>> spares;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        close_code_ = code;
        pieces.swap(pieces_);
        spares.swap(spares_);
        spare_bytes_ = 0;
        queued_ = 0;
        front_offset_ = 0;
    }
    room_.notify_all();
}

uint64_t UploadQueue::queued() const {
    std::lock_guard lock(mutex_);
    return queued_;
}

uint64_t UploadQueue::spare_bytes() const {
    std::lock_guard lock(mutex_);
    return spare_bytes_;
}

}  // namespace halyard
