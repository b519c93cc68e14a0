// The client's data frames, written straight into the session's output:
// the header and the payload masked in one pass (a machine word at a
// time), so an outgoing message is copied once between the caller's queue
// and the socket.  Control frames stay with wslay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halyard {

// Appends one final frame of `opcode` (RSV1 set when `rsv1`) carrying
// `data` masked with `mask` to `out`.
void append_masked_frame(std::vector<uint8_t>& out, uint8_t opcode, bool rsv1, const uint8_t* data, size_t len,
                         const uint8_t mask[4]);

}  // namespace halyard
