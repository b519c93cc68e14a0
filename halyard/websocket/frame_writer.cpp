#include "websocket/frame_writer.h"

#include <cstring>

namespace halyard {

void append_masked_frame(std::vector<uint8_t>& out, uint8_t opcode, bool rsv1, const uint8_t* data, size_t len,
                         const uint8_t mask[4]) {
    uint8_t head[14];
    size_t n = 0;
    head[n++] = static_cast<uint8_t>(0x80 | (rsv1 ? 0x40 : 0) | (opcode & 0x0f));
    if (len < 126) {
        head[n++] = static_cast<uint8_t>(0x80 | len);
    } else if (len <= 0xffff) {
        head[n++] = 0x80 | 126;
        head[n++] = static_cast<uint8_t>(len >> 8);
        head[n++] = static_cast<uint8_t>(len);
    } else {
        head[n++] = 0x80 | 127;
        for (int shift = 56; shift >= 0; shift -= 8) head[n++] = static_cast<uint8_t>(uint64_t{len} >> shift);
    }
    std::memcpy(head + n, mask, 4);
    n += 4;

    // Copied in, then masked in place while the bytes are still in the
    // cache: growing the vector first would zero-fill it for nothing.
    // (insert grows it geometrically; an exact reserve here would copy
    // the frames already waiting at every message.)
    out.insert(out.end(), head, head + n);
    const size_t start = out.size();
    if (len > 0) out.insert(out.end(), data, data + len);
    uint8_t* payload = out.data() + start;
    // The mask repeats every four bytes from the payload's first byte: a
    // word of it twice over masks eight bytes at a time.
    uint8_t repeated[8];
    for (int k = 0; k < 8; ++k) repeated[k] = mask[k % 4];
    uint64_t word;
    std::memcpy(&word, repeated, 8);
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, payload + i, 8);
        chunk ^= word;
        std::memcpy(payload + i, &chunk, 8);
    }
    for (; i < len; ++i) payload[i] ^= mask[i % 4];
}

}  // namespace halyard
