// The bytes side of PyRequest's reads: wait_response, read_chunk, read_all,
// readinto, read_exact, read_some, and take_available, which never waits.
// Each wait runs in interruptible slices (Ctrl-C ends it with
// KeyboardInterrupt) with an optional timeout (TimeoutError); the flow
// control and the failure rules are those of next_body and read_body.
#include <cstring>

#include "module/byte_buffer.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"
#include "request/py_response.h"
#include "request/request_values.h"

namespace vesper {

namespace {

// The size argument of read_exact and read_some: at least 1 byte, and no
// more than a bytes object can hold.
Result<uint64_t> read_size(const Args& args) {
    TRY_ASSIGN(uint64_t size, args.convert(0, to_count));
    if (size == 0) return Failure::value_error("size must be at least 1");
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Failure::overflow("size is too large");
    return size;
}
// take_available's default size: what the flow control lets queue.
constexpr uint64_t kTakeAvailableDefault = kPauseAtBytes;

}  // namespace

Result<PyRef> request_wait_response(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    std::optional<RunningPair> pair = request.start_slot.take();
    if (!pair) return Failure::runtime(kNotStarted);
    HeadTake taken;
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        taken = pair->state->wait_head_for(pair->handle->core(), ms);
        return !std::holds_alternative<std::monostate>(taken);
    });
    if (!waited.ok() || !waited.value()) {
        // Still waiting for the head: the next wait takes it up again.
        std::optional<RunningPair> replaced = request.start_slot.put(std::move(*pair));
        if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
        return Failure::timeout("timed out waiting for the response head");
    }
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    Head head = std::get<Head>(std::move(taken));
    std::optional<RunningPair> replaced = request.body_slot.put(std::move(*pair));
    return new_response(head.status, std::move(head.block));
}

Result<PyRef> request_read_chunk(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    ChunkTake taken;
    bool has_pair = true;
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        has_pair = with_body(request, [&](RunningPair& pair) {
            // An empty chunk is skipped: b"" is the end.
            do {
                taken = pair.state->wait_chunk_for(pair.handle->core(), ms);
                auto* chunk = std::get_if<Bytes>(&taken);
                if (chunk == nullptr || !chunk->empty()) break;
            } while (true);
        });
        return !has_pair || !std::holds_alternative<std::monostate>(taken);
    });
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.value()) return Failure::timeout("timed out waiting for body data");
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    if (std::holds_alternative<EndOfBody>(taken)) return make_bytes(nullptr, 0);
    const Bytes& chunk = std::get<Bytes>(taken);
    return make_bytes(chunk.data(), chunk.size());
}

// read_all copies the body once into its result when the head announced
// the length: straight into a bytes object of that size (not yet seen by
// Python, so written with the interpreter lock given up).  Anything else,
// and whatever goes past the announced length, is gathered chunk by chunk
// and joined at the end.
Result<PyRef> request_read_all(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    RequestState& state = request.handle->state();
    PyRef sized;
    uint8_t* into = nullptr;
    size_t room = 0;
    if (const uint64_t hint = state.length_hint(); hint != 0 && request.body_slot.peek()) {
        sized = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(hint)));
        if (!sized) return Failure::fetch();
        into = reinterpret_cast<uint8_t*>(PyBytes_AsString(sized.get()));
        room = static_cast<size_t>(hint);
    }
    size_t filled = 0;
    std::vector<Bytes> pieces;
    size_t total = 0;
    std::optional<RequestFailure> failed;
    bool has_pair = true;
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        bool ended = false;
        has_pair = with_body(request, [&](RunningPair& pair) {
            hy_request* core = pair.handle->core();
            // Takes what is queued, then waits once per slice.
            bool waited_once = false;
            for (;;) {
                if (filled < room) {
                    CopyTake taken = pair.state->copy_into(core, into + filled, room - filled);
                    if (auto* n = std::get_if<size_t>(&taken)) {
                        filled += *n;
                        continue;
                    }
                    if (auto* failure = std::get_if<RequestFailure>(&taken)) failed = *failure;
                    ended = !std::holds_alternative<std::monostate>(taken);
                } else {
                    ChunkTake taken = pair.state->wait_chunk_for(core, 0);
                    if (auto* chunk = std::get_if<Bytes>(&taken)) {
                        total += chunk->size();
                        if (!chunk->empty()) pieces.push_back(std::move(*chunk));
                        continue;
                    }
                    if (auto* failure = std::get_if<RequestFailure>(&taken)) failed = *failure;
                    ended = !std::holds_alternative<std::monostate>(taken);
                }
                if (ended || waited_once || ms == 0) return;
                waited_once = true;
                pair.state->wait_body_for(pair.handle->core(), ms);
            }
        });
        return !has_pair || ended;
    });
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.ok() || !waited.value()) {
        // Not at the end yet: what was gathered goes back for the next read.
        if (filled + total != 0) {
            Bytes gathered;
            gathered.reserve(filled + total);
            gathered.insert(gathered.end(), into, into + filled);
            for (const Bytes& piece : pieces) gathered.insert(gathered.end(), piece.begin(), piece.end());
            state.unread(std::move(gathered));
        }
        if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
        return Failure::timeout("timed out waiting for the end of the body");
    }
    if (failed) return request_failure(*failed);
    if (sized && filled == room && pieces.empty()) return sized;
    // The announced length was wrong (or absent): one joined copy.
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(filled + total)));
    if (!out) return Failure::fetch();
    char* at = PyBytes_AsString(out.get());
    if (filled != 0) std::memcpy(at, into, filled);
    at += filled;
    for (const Bytes& piece : pieces) {
        std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    return out;
}

Result<PyRef> request_readinto(PyObject* self, const Args& args) {
    TRY_ASSIGN(WritableTarget target, args.convert(0, to_writable_target));
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 1));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    const WaitDeadline deadline(timeout);
    if (target.size() == 0) {
        // Nothing to copy: only a body not yet started is refused.
        if (!with_body(request, [](RunningPair&) {})) return Failure::runtime(kBodyNotStarted);
        return make_int(0);
    }
    // A target written in place takes the bytes as they arrive (one copy);
    // others through a staging buffer.
    Bytes staging;
    if (target.direct() == nullptr) staging.resize(target.size());
    uint8_t* const out = target.direct() != nullptr ? target.direct() : staging.data();
    CopyTake taken;
    bool has_pair = true;
    Result<bool> waited = wait_in_slices(deadline, [&](uint64_t ms) {
        has_pair = with_body(request, [&](RunningPair& pair) {
            taken = pair.state->wait_into(pair.handle->core(), out, target.size(), ms);
        });
        return !has_pair || !std::holds_alternative<std::monostate>(taken);
    });
    if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.value()) return Failure::timeout("timed out waiting for body data");
    if (auto* n = std::get_if<size_t>(&taken)) {
        if (target.direct() == nullptr) TRY_STATUS(target.store(staging.data(), *n));
        return make_int(static_cast<long long>(*n));
    }
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    return make_int(0);  // the end
}

// read_exact fills a bytes object of `size` (not yet seen by Python, so
// written with the interpreter lock given up) through the posted buffer of
// wait_into: each byte is copied once, from the Core's buffer into the
// result, whatever sizes the pieces come in.  Only a last piece shorter
// than `size` is copied again, into a bytes object of its length.
Result<PyRef> request_read_exact(PyObject* self, const Args& args) {
    TRY_ASSIGN(uint64_t size, read_size(args));
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 1));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return Failure::fetch();
    uint8_t* const into = reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get()));
    size_t filled = 0;
    bool ended = false;
    std::optional<RequestFailure> failed;
    bool has_pair = true;
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        has_pair = with_body(request, [&](RunningPair& pair) {
            while (filled < size) {
                CopyTake taken = pair.state->wait_into(pair.handle->core(), into + filled, size - filled, ms);
                if (auto* n = std::get_if<size_t>(&taken)) {
                    filled += *n;
                    continue;
                }
                if (auto* failure = std::get_if<RequestFailure>(&taken)) failed = *failure;
                ended = !std::holds_alternative<std::monostate>(taken);
                return;  // the end, the failure, or this slice ran out
            }
        });
        return !has_pair || ended || filled == size;
    });
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.ok() || !waited.value()) {
        // What was gathered goes back for the next read.
        if (filled != 0) request.handle->state().unread(Bytes(into, into + filled));
        if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
        return Failure::timeout("timed out waiting for body data");
    }
    if (failed) {
        // Bytes before the failure are not handed out: the read fails, as
        // read_all does.
        return request_failure(*failed);
    }
    if (filled == size) return out;
    return make_bytes(into, filled);
}

namespace {

// Takes what is queued, the pieces joined up to `most` bytes (the rest stays
// first in the queue), without waiting: the bytes, b"" at the end, the
// failure, or None while nothing has arrived.  The result is sized from the
// queued bytes and filled under the state's lock; with the body slot held no
// other reader takes in between, so the copy fills it exactly.
Result<PyRef> take_queued(RequestContents& request, uint64_t most) {
    PyRef out;
    CopyTake taken;
    size_t size = 0;
    Status made = ok_status();
    const bool has_pair = with_body(request, [&](RunningPair& pair) {
        size = static_cast<size_t>(std::min<uint64_t>(pair.state->queued_bytes(), most));
        uint8_t* into = nullptr;
        if (size != 0) {
            out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            if (!out) {
                made = Failure::fetch();
                return;
            }
            into = reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get()));
        }
        taken = pair.state->take_available(pair.handle->core(), into, size);
    });
    TRY_STATUS(std::move(made));
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (auto* n = std::get_if<size_t>(&taken)) {
        if (*n == size) return out;
        return make_bytes(reinterpret_cast<const uint8_t*>(PyBytes_AsString(out.get())), *n);
    }
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    if (std::holds_alternative<EndOfBody>(taken)) return make_bytes(nullptr, 0);
    return none();
}

}  // namespace

// read_some hands out what has arrived, up to `size` bytes, as one bytes
// object, and waits only while nothing has: a reader slower than the network
// takes the pieces queued meanwhile in one call instead of one call per
// piece.  Each byte is copied once, from the queue into the result.
Result<PyRef> request_read_some(PyObject* self, const Args& args) {
    TRY_ASSIGN(uint64_t size, read_size(args));
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 1));
    RequestContents& request = request_of(self);
    TRY_STATUS(refuse_on_network_thread(request));
    TRY_STATUS(check_process(request.handle->owner()));
    const WaitDeadline deadline(timeout);
    for (;;) {
        bool has_pair = true;
        bool readable = false;
        Result<bool> waited = wait_in_slices(deadline, [&](uint64_t ms) {
            has_pair = with_body(request,
                                 [&](RunningPair& pair) { readable = pair.state->wait_body_for(pair.handle->core(), ms); });
            return !has_pair || readable;
        });
        if (!waited.ok()) return interrupted_wait(request, std::move(waited).failure());
        if (!has_pair) return Failure::runtime(kBodyNotStarted);
        if (!waited.value()) return Failure::timeout("timed out waiting for body data");
        // Only empty pieces were queued (skipped), or a cancel emptied the
        // queue meanwhile: wait again.
        TRY_ASSIGN(PyRef taken, take_queued(request, size));
        if (taken.get() != Py_None) return taken;
    }
}

// take_available never waits: see take_queued.
Result<PyRef> request_take_available(PyObject* self, const Args& args) {
    uint64_t most = kTakeAvailableDefault;
    if (args.given(0)) {
        TRY_ASSIGN(most, args.convert(0, to_count));
    }
    if (most == 0) return Failure::value_error("argument 'max': must be at least 1");
    RequestContents& request = request_of(self);
    TRY_STATUS(check_process(request.handle->owner()));
    return take_queued(request, most);
}

}  // namespace vesper
