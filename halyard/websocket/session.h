// The framing of one open WebSocket connection: wslay (client side) plus
// message reassembly, permessage-deflate, UTF-8 checks and size bounds.
// The session never touches a socket: received bytes are fed in, and the
// bytes to write collect in an output buffer that the owner drains.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/contain.h"
#include "websocket/deflate.h"
#include "websocket/taken_message.h"

typedef struct wslay_event_context* wslay_event_context_ptr;
struct wslay_event_on_frame_recv_start_arg;
struct wslay_event_on_frame_recv_chunk_arg;
struct wslay_event_on_msg_recv_arg;

namespace halyard {

// Largest message (or frame) accepted from the peer, after decompression.
inline constexpr size_t kMaxIncomingMessage = size_t{64} << 20;

class FrameSession {
public:
    class Listener {
    public:
        // A complete message: type 1 text (valid UTF-8), 2 binary.  The
        // buffer may be reused once the call returns, unless the listener
        // took it (take_message) during the call.
        virtual void on_session_message(uint32_t type, bool compressed, const uint8_t* data, size_t len) = 0;
        // The peer's close frame arrived (code 1005 when it had none).
        virtual void on_session_close(uint16_t code, std::string_view reason) = 0;

    protected:
        ~Listener() = default;
    };

    struct Failure {
        uint16_t close_code;   // the close code sent to the peer (1002, 1007, 1009, ...)
        const char* message;   // a fixed text: recording a failure never allocates
    };

    FrameSession() = default;
    ~FrameSession();
    FrameSession(const FrameSession&) = delete;
    FrameSession& operator=(const FrameSession&) = delete;

    // `deflate`: the negotiated permessage-deflate parameters, if any.
    // `max_message`: the incoming bound (a parameter for the tests).
    bool init(Listener* listener, std::optional<DeflateParams> deflate, size_t max_message = kMaxIncomingMessage);

    // Feeds bytes read from the connection.  Messages and the close are
    // reported to the listener; automatic answers (pong, the close echo)
    // land in the output buffer.
    void receive(const uint8_t* data, size_t len);

    // Frames a message (compressed when negotiated) into the output buffer.
    // False once the close was sent.
    bool send_message(uint32_t type, const uint8_t* data, size_t len);
    // Frames the close; false when a close was already queued or sent.
    bool send_close(uint16_t code, std::string_view reason);

    // What is waiting to be written, and its consumption.
    const uint8_t* output() const { return out_.data() + out_head_; }
    size_t output_size() const { return out_.size() - out_head_; }
    void consume_output(size_t n);

    // During on_session_message only: moves the buffer whose bytes start
    // at `data` (the message being reported) into `out`; the bytes keep
    // their address.  False outside that call, for another pointer, or once
    // taken.
    bool take_message(const uint8_t* data, std::vector<uint8_t>& out);
    // Where taken buffers go back once their taker is done with them: the
    // next messages are assembled in them.
    const std::shared_ptr<BufferShelf>& shelf() const { return shelf_; }

    const std::optional<Failure>& failure() const { return failure_; }
    // What is reserved for the message being received (it grows
    // geometrically, up to the bound).
    size_t message_capacity() const { return message_.capacity(); }
    bool close_received() const;
    bool close_sent() const;
    bool reading() const;

private:
    static ssize_t on_recv(wslay_event_context_ptr, uint8_t* buf, size_t len, int flags, void* self);
    static ssize_t on_send(wslay_event_context_ptr, const uint8_t* data, size_t len, int flags, void* self);
    static int on_genmask(wslay_event_context_ptr, uint8_t* buf, size_t len, void* self);
    static void on_frame_start(wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg, void* self);
    static void on_frame_chunk(wslay_event_context_ptr, const wslay_event_on_frame_recv_chunk_arg* arg, void* self);
    static void on_frame_end(wslay_event_context_ptr, void* self);
    static void on_msg(wslay_event_context_ptr, const wslay_event_on_msg_recv_arg* arg, void* self);

    void fail(uint16_t close_code, const char* message) noexcept;
    void fail_with(Fault fault) noexcept;
    void frame_start(const wslay_event_on_frame_recv_start_arg& arg);
    void frame_chunk(const uint8_t* data, size_t len);
    void flush_wslay();
    void finish_message();
    // Fills `out` with `len` bytes of the random pool; false when the
    // random generator failed.
    bool random_bytes(uint8_t* out, size_t len);

    wslay_event_context_ptr ctx_ = nullptr;
    Listener* listener_ = nullptr;
    size_t max_message_ = kMaxIncomingMessage;
    bool deflate_in_ = false;
    bool deflate_out_ = false;
    Deflater deflater_;
    Inflater inflater_;

    // Input being fed.
    const uint8_t* in_ = nullptr;
    size_t in_len_ = 0;

    // The message being received.
    bool frame_is_data_ = false;
    bool frame_fin_ = false;
    uint8_t message_type_ = 0;
    bool message_compressed_ = false;
    std::vector<uint8_t> message_;
    std::vector<uint8_t> inflated_;
    std::vector<uint8_t> compressed_;
    std::shared_ptr<BufferShelf> shelf_ = std::make_shared<BufferShelf>();
    // The buffer being reported to the listener (message_ or inflated_).
    std::vector<uint8_t>* reporting_ = nullptr;

    std::vector<uint8_t> out_;
    size_t out_head_ = 0;
    std::optional<Failure> failure_;
    bool callback_failed_ = false;   // one of the send callbacks failed
    // Masking keys drawn from the random generator 64 at a time: a draw
    // per message cost more than framing a small one.
    std::array<uint8_t, 256> random_{};
    size_t random_used_ = 256;
};

}  // namespace halyard
