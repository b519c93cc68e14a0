// permessage-deflate (RFC 7692): the offer, the server's answer, and the
// raw-deflate compressor and decompressor of one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct z_stream_s z_stream;

namespace halyard {

// What a browser offers: the extension, and that it can limit its own
// window if the server asks.
inline constexpr std::string_view kDeflateOffer = "permessage-deflate; client_max_window_bits";

struct DeflateParams {
    bool server_no_context_takeover = false;
    bool client_no_context_takeover = false;
    int server_max_window_bits = 15;
    int client_max_window_bits = 15;
    friend bool operator==(const DeflateParams&, const DeflateParams&) = default;
};

// The client's offer; the default is the browser's (kDeflateOffer).
struct DeflateOffer {
    bool enabled = true;
    bool client_no_context_takeover = false;
    bool server_no_context_takeover = false;
    int client_max_window_bits = 0;  // 0: the bare parameter (the server may choose); else 8..15
    int server_max_window_bits = 0;  // 0: not asked for; else 8..15

    // The Sec-WebSocket-Extensions value; empty when not enabled.
    std::string header() const;
    // What this side holds to once the server accepted: what it offered
    // for itself binds it whatever the answer says (RFC 7692, 7.1.1.1 and
    // 7.1.2.2).
    DeflateParams settle(DeflateParams answer) const;

    friend bool operator==(const DeflateOffer&, const DeflateOffer&) = default;
};

// A DeflateOffer from hy_websocket_set_deflate's arguments, or nothing when
// they are not valid.
std::optional<DeflateOffer> make_deflate_offer(uint32_t flags, uint32_t client_max_window_bits,
                                               uint32_t server_max_window_bits);

// The server's Sec-WebSocket-Extensions answer (all its header values
// joined with ", "): no extension, permessage-deflate with valid
// parameters, or a refusal with the reason.  Anything not offered (another
// extension, permessage-deflate twice, an unknown or repeated parameter, a
// window size outside 8..15) is refused.
struct ExtensionAnswer {
    bool ok = true;
    std::optional<DeflateParams> deflate;
    std::string error;
};
ExtensionAnswer parse_extension_answer(std::string_view value);

// Compresses whole messages.  With context takeover the window carries over
// from one message to the next, as negotiated.
class Deflater {
public:
    Deflater() = default;
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // window_bits 9..15 (zlib cannot make raw streams with an 8-bit window).
    bool init(int window_bits, bool no_context_takeover, int level = 6);
    // Replaces `out` with the compressed message, without the final
    // 00 00 FF FF that RFC 7692 strips.
    bool compress(const uint8_t* data, size_t len, std::vector<uint8_t>& out);

private:
    z_stream* stream_ = nullptr;
    bool no_context_takeover_ = false;
};

class Inflater {
public:
    enum class Result { Ok, TooBig, Corrupt };

    Inflater() = default;
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool init(bool no_context_takeover);
    // Replaces `out` with the decompressed message; stops with TooBig as
    // soon as it would exceed `limit` bytes.
    Result decompress(const uint8_t* data, size_t len, size_t limit, std::vector<uint8_t>& out);

private:
    z_stream* stream_ = nullptr;
    bool no_context_takeover_ = false;
};

}  // namespace halyard
