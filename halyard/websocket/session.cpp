#include "websocket/session.h"

#include <openssl/rand.h>
#include <wslay/wslay.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "api/contain.h"
#include "text/utf8.h"
#include "websocket/close.h"
#include "websocket/frame_writer.h"

namespace halyard {
namespace {

FrameSession* as_session(void* self) { return static_cast<FrameSession*>(self); }

}  // namespace

FrameSession::~FrameSession() {
    if (ctx_) wslay_event_context_free(ctx_);
}

bool FrameSession::init(Listener* listener, std::optional<DeflateParams> deflate, size_t max_message) {
    static const wslay_event_callbacks callbacks = {
        &FrameSession::on_recv,        &FrameSession::on_send,      &FrameSession::on_genmask,
        &FrameSession::on_frame_start, &FrameSession::on_frame_chunk, &FrameSession::on_frame_end,
        &FrameSession::on_msg,
    };
    if (ctx_ || wslay_event_context_client_init(&ctx_, &callbacks, this) != 0) return false;
    listener_ = listener;
    max_message_ = max_message;
    // Data frames are assembled here (for the size bound and the
    // decompression); wslay still buffers control frames.  Its own bound
    // then applies to single frames.
    wslay_event_config_set_no_buffering(ctx_, 1);
    wslay_event_config_set_max_recv_msg_length(ctx_, max_message);
    if (deflate) {
        wslay_event_config_set_allowed_rsv_bits(ctx_, WSLAY_RSV1_BIT);
        if (!inflater_.init(deflate->server_no_context_takeover)) return false;
        deflate_in_ = true;
        // zlib makes no raw stream with an 8-bit window; messages are then
        // sent uncompressed, which the extension allows.
        deflate_out_ = deflate->client_max_window_bits >= 9 &&
                       deflater_.init(deflate->client_max_window_bits, deflate->client_no_context_takeover);
    }
    return true;
}

void FrameSession::receive(const uint8_t* data, size_t len) {
    if (failure_ || !wslay_event_get_read_enabled(ctx_)) return;
    in_ = data;
    in_len_ = len;
    const int rc = wslay_event_recv(ctx_);
    in_ = nullptr;
    in_len_ = 0;
    // wslay's frame layer meets a malformed frame (a fragmented or
    // oversized control frame, a one-byte close) by queueing a close without
    // a code and returning WSLAY_ERR_CALLBACK_FAILURE though no callback
    // failed: that is the peer's protocol error, 1002 (the close frame on
    // the wire stays wslay's, without a code).
    if (rc == WSLAY_ERR_CALLBACK_FAILURE && !callback_failed_ && !failure_) fail(1002, "malformed frame");
    if (rc != 0 && !failure_) fail(1011, rc == WSLAY_ERR_NOMEM ? "out of memory" : "WebSocket framing failed");
    flush_wslay();
    // wslay fails the connection itself on a malformed frame, a frame over
    // the bound, invalid UTF-8 in an uncompressed text frame or a bad close
    // frame: it queues its close and stops reading.  The code it sent tells
    // which.
    if (!failure_ && !wslay_event_get_read_enabled(ctx_) && !wslay_event_get_close_received(ctx_)) {
        const uint16_t sent = wslay_event_get_status_code_sent(ctx_);
        switch (sent) {
        case 1007: failure_ = Failure{sent, "invalid UTF-8 in a text message"}; break;
        case 1009: failure_ = Failure{sent, "message over the size bound"}; break;
        default: failure_ = Failure{sent, "WebSocket protocol error"}; break;
        }
    }
}

bool FrameSession::send_message(uint32_t type, const uint8_t* data, size_t len) {
    // wslay frames everything it is given at once (on_send never refuses
    // bytes), so no frame of its is half written here: a data frame
    // appended to the output lands between whole frames.  Once a close was
    // queued (by either side) it has gone out: nothing follows it.
    if (failure_ || callback_failed_ || wslay_event_get_close_sent(ctx_) || !wslay_event_get_write_enabled(ctx_))
        return false;
    const uint8_t opcode = static_cast<uint8_t>(type == 1 ? WSLAY_TEXT_FRAME : WSLAY_BINARY_FRAME);
    uint8_t mask[4];
    if (!random_bytes(mask, sizeof mask)) {
        fail(1011, "WebSocket framing failed");
        return false;
    }
    if (deflate_out_) {
        if (!deflater_.compress(data, len, compressed_)) {
            fail(1011, "compression failed");
            return false;
        }
        append_masked_frame(out_, opcode, true, compressed_.data(), compressed_.size(), mask);
    } else {
        append_masked_frame(out_, opcode, false, data, len, mask);
    }
    return true;
}

bool FrameSession::send_close(uint16_t code, std::string_view reason) {
    const int rc = wslay_event_queue_close(ctx_, code, reinterpret_cast<const uint8_t*>(reason.data()), reason.size());
    if (rc != 0) return false;
    flush_wslay();
    return true;
}

void FrameSession::consume_output(size_t n) {
    out_head_ += n;
    if (out_head_ >= out_.size()) {
        out_.clear();
        out_head_ = 0;
    } else if (out_head_ > (size_t{1} << 20) && out_head_ > out_.size() / 2) {
        out_.erase(out_.begin(), out_.begin() + static_cast<long>(out_head_));
        out_head_ = 0;
    }
}

bool FrameSession::close_received() const { return wslay_event_get_close_received(ctx_) != 0; }
bool FrameSession::close_sent() const { return wslay_event_get_close_sent(ctx_) != 0; }
bool FrameSession::reading() const { return !failure_ && wslay_event_get_read_enabled(ctx_) != 0; }

void FrameSession::fail(uint16_t close_code, const char* message) noexcept {
    if (failure_) return;
    failure_ = Failure{close_code, message};
    // The peer is told why; nothing more is read.
    wslay_event_queue_close(ctx_, close_code, nullptr, 0);
    wslay_event_shutdown_read(ctx_);
}

void FrameSession::flush_wslay() {
    // The send callback never blocks, so this frames everything queued.
    if (wslay_event_want_write(ctx_) && wslay_event_send(ctx_) != 0 && !failure_)
        failure_ = Failure{1011, "WebSocket framing failed"};
}

// ------------------------------------------------------ wslay callbacks

ssize_t FrameSession::on_recv(wslay_event_context_ptr ctx, uint8_t* buf, size_t len, int, void* self) {
    FrameSession* s = as_session(self);
    if (s->in_len_ == 0) {
        wslay_event_set_error(ctx, WSLAY_ERR_WOULDBLOCK);
        return -1;
    }
    const size_t n = len < s->in_len_ ? len : s->in_len_;
    std::copy(s->in_, s->in_ + n, buf);
    s->in_ += n;
    s->in_len_ -= n;
    return static_cast<ssize_t>(n);
}

ssize_t FrameSession::on_send(wslay_event_context_ptr ctx, const uint8_t* data, size_t len, int, void* self) {
    return contain([&] {
        as_session(self)->out_.insert(as_session(self)->out_.end(), data, data + len);
        return static_cast<ssize_t>(len);
    }, [&](Fault) {
        as_session(self)->callback_failed_ = true;
        wslay_event_set_error(ctx, WSLAY_ERR_CALLBACK_FAILURE);
        return ssize_t{-1};
    });
}

int FrameSession::on_genmask(wslay_event_context_ptr, uint8_t* buf, size_t len, void* self) {
    if (as_session(self)->random_bytes(buf, len)) return 0;
    as_session(self)->callback_failed_ = true;
    return -1;
}

bool FrameSession::random_bytes(uint8_t* out, size_t len) {
    while (len > 0) {
        if (random_used_ == random_.size()) {
            if (RAND_bytes(random_.data(), static_cast<int>(random_.size())) != 1) return false;
            random_used_ = 0;
        }
        const size_t n = std::min(len, random_.size() - random_used_);
        std::memcpy(out, random_.data() + random_used_, n);
        // Each byte is handed out once.
        std::memset(random_.data() + random_used_, 0, n);
        random_used_ += n;
        out += n;
        len -= n;
    }
    return true;
}

// wslay calls these four with no way to report a failure: each contains
// its own (a message too large to hold, an inflater out of memory, a
// listener that threw) and fails the session, which stops reading.
void FrameSession::on_frame_start(wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg, void* self) {
    FrameSession* s = as_session(self);
    contain([&] { s->frame_start(*arg); }, [&](Fault fault) { s->fail_with(fault); });
}

void FrameSession::on_frame_chunk(wslay_event_context_ptr, const wslay_event_on_frame_recv_chunk_arg* arg, void* self) {
    FrameSession* s = as_session(self);
    contain([&] { s->frame_chunk(arg->data, arg->data_length); }, [&](Fault fault) { s->fail_with(fault); });
}

void FrameSession::on_frame_end(wslay_event_context_ptr, void* self) {
    FrameSession* s = as_session(self);
    contain([&] {
        if (!s->frame_is_data_ || s->failure_ || !s->frame_fin_) return;
        s->finish_message();
    }, [&](Fault fault) { s->fail_with(fault); });
}

void FrameSession::fail_with(Fault fault) noexcept {
    fail(fault == Fault::OutOfMemory ? 1009 : 1011,
         fault == Fault::OutOfMemory ? "message too large to hold" : "internal failure while receiving");
}

void FrameSession::frame_start(const wslay_event_on_frame_recv_start_arg& arg) {
    frame_is_data_ = !wslay_is_ctrl_frame(arg.opcode);
    if (!frame_is_data_ || failure_) return;
    frame_fin_ = arg.fin != 0;
    if (arg.opcode != WSLAY_CONTINUATION_FRAME) {
        message_type_ = arg.opcode;
        message_compressed_ = (arg.rsv & WSLAY_RSV1_BIT) != 0;
        message_.clear();
        // The last message's buffer was taken: one given back is reused.
        if (message_.capacity() == 0) message_ = shelf_->take();
    }
    if (arg.payload_length > max_message_ - message_.size()) {
        fail(1009, "message over the size bound");
        return;
    }
    // Grown geometrically (up to the bound): reserving exactly each frame's
    // size would copy the whole message again for every small fragment.
    const size_t needed = message_.size() + arg.payload_length;
    if (needed > message_.capacity()) message_.reserve(std::min(std::max(needed, 2 * message_.capacity()), max_message_));
}

void FrameSession::frame_chunk(const uint8_t* data, size_t len) {
    if (!frame_is_data_ || failure_) return;
    // Capacity was reserved for the whole frame at its start.
    message_.insert(message_.end(), data, data + len);
}

void FrameSession::finish_message() {
    const uint8_t* data = message_.data();
    size_t len = message_.size();
    if (message_compressed_) {
        switch (inflater_.decompress(data, len, max_message_, inflated_)) {
        case Inflater::Result::Ok: break;
        case Inflater::Result::TooBig: fail(1009, "message over the size bound"); return;
        case Inflater::Result::Corrupt: fail(1007, "compressed message does not inflate"); return;
        }
        data = inflated_.data();
        len = inflated_.size();
    }
    // wslay checks uncompressed text as its frames arrive and fails the
    // connection (1007) on invalid UTF-8 (receive() names it); inflated
    // text is checked here, once.
    if (message_type_ == WSLAY_TEXT_FRAME && message_compressed_ && !is_valid_utf8(data, len)) {
        fail(1007, "invalid UTF-8 in a text message");
        return;
    }
    std::vector<uint8_t>& reported = message_compressed_ ? inflated_ : message_;
    reporting_ = &reported;
    struct Done {
        std::vector<uint8_t>*& reporting;
        ~Done() { reporting = nullptr; }
    } done{reporting_};
    listener_->on_session_message(message_type_, message_compressed_, data, len);
    // A large buffer is not kept for the small messages that follow.
    if (message_.capacity() > (size_t{1} << 20)) std::vector<uint8_t>().swap(message_);
    if (inflated_.capacity() > (size_t{1} << 20)) std::vector<uint8_t>().swap(inflated_);
    if (compressed_.capacity() > (size_t{1} << 20)) std::vector<uint8_t>().swap(compressed_);
    message_.clear();
}

bool FrameSession::take_message(const uint8_t* data, std::vector<uint8_t>& out) {
    if (reporting_ == nullptr || data == nullptr || reporting_->empty() || reporting_->data() != data) return false;
    // A moved vector keeps its storage: `data` stays where it was.
    out = std::move(*reporting_);
    *reporting_ = std::vector<uint8_t>();
    reporting_ = nullptr;
    return true;
}

void FrameSession::on_msg(wslay_event_context_ptr, const wslay_event_on_msg_recv_arg* arg, void* self) {
    FrameSession* s = as_session(self);
    contain([&] {
        if (arg->opcode != WSLAY_CONNECTION_CLOSE || s->failure_) return;
        // wslay checked the code and the reason's UTF-8; the frame is whole.
        auto frame = parse_close_payload(arg->msg, arg->msg_length);
        if (!frame) {
            s->fail(1002, "invalid close frame");
            return;
        }
        s->listener_->on_session_close(frame->code, frame->reason);
    }, [&](Fault fault) { s->fail_with(fault); });
}

}  // namespace halyard
