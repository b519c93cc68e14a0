// The bytes side of PyRequest's blocking reads: wait_response, read_chunk,
// read_all and readinto.  Each waits in interruptible slices (Ctrl-C ends
// it with KeyboardInterrupt) with an optional timeout (TimeoutError); the
// flow control and the failure rules are those of next_body and read_body.
#include <cstring>

#include "module/byte_buffer.h"
#include "module/pytext.h"
#include "module/sliced_wait.h"
#include "request/py_request.h"
#include "request/py_response.h"

namespace vesper {

namespace {

constexpr const char* kNotStarted = "request is not started";
constexpr const char* kBodyNotStarted = "request body stream is not started";

Failure request_failure(const RequestFailure& failure) { return Failure::runtime(failure.text()); }

// One reader at a time holds the body slot; false when the head was not
// handed out yet.  `read` runs with the slot locked and the interpreter
// lock given up.
template <class Read>
bool with_body(RequestContents& request, Read&& read) {
    std::lock_guard lock(request.body_slot.mutex());
    auto& pair = request.body_slot.locked_value();
    if (!pair) return false;
    read(*pair);
    return true;
}

Result<PyRef> bytes_of_pieces(const std::vector<Bytes>& pieces, size_t total) {
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out) return Failure::fetch();
    char* at = PyBytes_AsString(out.get());
    for (const Bytes& piece : pieces) {
        std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    return out;
}

}  // namespace

Result<PyRef> request_wait_response(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    std::optional<RunningPair> pair = request.start_slot.take();
    if (!pair) return Failure::runtime(kNotStarted);
    HeadTake taken;
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        taken = pair->state->wait_head_for(ms);
        return !std::holds_alternative<std::monostate>(taken);
    });
    if (!waited.ok() || !waited.value()) {
        // Still waiting for the head: the next wait takes it up again.
        std::optional<RunningPair> replaced = request.start_slot.put(std::move(*pair));
        if (!waited.ok()) return std::move(waited).failure();
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
    ChunkTake taken;
    bool has_pair = true;
    TRY_ASSIGN(bool done, wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        has_pair = with_body(request, [&](RunningPair& pair) {
            // An empty chunk is skipped: b"" is the end.
            do {
                taken = pair.state->wait_chunk_for(pair.handle->core(), ms);
                auto* chunk = std::get_if<Bytes>(&taken);
                if (chunk == nullptr || !chunk->empty()) break;
            } while (true);
        });
        return !has_pair || !std::holds_alternative<std::monostate>(taken);
    }));
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!done) return Failure::timeout("timed out waiting for body data");
    if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
    if (std::holds_alternative<EndOfBody>(taken)) return make_bytes(nullptr, 0);
    const Bytes& chunk = std::get<Bytes>(taken);
    return make_bytes(chunk.data(), chunk.size());
}

Result<PyRef> request_read_all(PyObject* self, const Args& args) {
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 0));
    RequestContents& request = request_of(self);
    std::vector<Bytes> pieces;
    size_t total = 0;
    std::optional<RequestFailure> failed;
    bool has_pair = true;
    Result<bool> waited = wait_in_slices(WaitDeadline(timeout), [&](uint64_t ms) {
        bool ended = false;
        has_pair = with_body(request, [&](RunningPair& pair) {
            // Takes what is queued, then waits once per slice.
            bool waited_once = false;
            for (;;) {
                ChunkTake taken = pair.state->wait_chunk_for(pair.handle->core(), waited_once ? ms : 0);
                if (auto* chunk = std::get_if<Bytes>(&taken)) {
                    total += chunk->size();
                    if (!chunk->empty()) pieces.push_back(std::move(*chunk));
                    continue;
                }
                if (auto* failure = std::get_if<RequestFailure>(&taken)) failed = *failure;
                if (!std::holds_alternative<std::monostate>(taken)) {
                    ended = true;
                    return;
                }
                if (waited_once || ms == 0) return;
                waited_once = true;
            }
        });
        return !has_pair || ended;
    });
    if (!has_pair) return Failure::runtime(kBodyNotStarted);
    if (!waited.ok() || !waited.value()) {
        // Not at the end yet: what was gathered goes back for the next read.
        if (!pieces.empty()) {
            Bytes gathered;
            gathered.reserve(total);
            for (const Bytes& piece : pieces) gathered.insert(gathered.end(), piece.begin(), piece.end());
            request.handle->state().unread(std::move(gathered));
        }
        if (!waited.ok()) return std::move(waited).failure();
        return Failure::timeout("timed out waiting for the end of the body");
    }
    if (failed) return request_failure(*failed);
    return bytes_of_pieces(pieces, total);
}

Result<PyRef> request_readinto(PyObject* self, const Args& args) {
    TRY_ASSIGN(WritableTarget target, args.convert(0, to_writable_target));
    TRY_ASSIGN(std::optional<Duration> timeout, optional_timeout(args, 1));
    RequestContents& request = request_of(self);
    RequestState& state = request.handle->state();
    hy_request* core = request.handle->core();
    const WaitDeadline deadline(timeout);
    Bytes staging;  // for targets that are not written in place
    for (;;) {
        bool has_pair = true;
        TRY_ASSIGN(bool ready, wait_in_slices(deadline, [&](uint64_t ms) {
            bool readable = false;
            has_pair = with_body(request, [&](RunningPair& pair) {
                readable = target.size() == 0 || pair.state->wait_body_for(ms);
            });
            return !has_pair || readable;
        }));
        if (!has_pair) return Failure::runtime(kBodyNotStarted);
        if (!ready) return Failure::timeout("timed out waiting for body data");
        if (target.size() == 0) return make_int(0);
        CopyTake taken;
        if (target.direct() != nullptr) {
            taken = state.copy_into(core, target.direct(), target.size());
        } else {
            staging.resize(target.size());
            taken = state.copy_into(core, staging.data(), staging.size());
            if (auto* n = std::get_if<size_t>(&taken)) TRY_STATUS(target.store(staging.data(), *n));
        }
        if (auto* n = std::get_if<size_t>(&taken)) return make_int(static_cast<long long>(*n));
        if (auto* failure = std::get_if<RequestFailure>(&taken)) return request_failure(*failure);
        if (std::holds_alternative<EndOfBody>(taken)) return make_int(0);
        // Another reader took the bytes between the wait and the copy.
    }
}

}  // namespace vesper
