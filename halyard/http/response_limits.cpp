#include "http/response_limits.h"

#include "text/validate.h"

namespace halyard {

HeadBudget::Verdict HeadBudget::add(size_t bytes, bool field) {
    bytes_ += bytes;
    if (bytes_ > kMaxHeadBytes) return Verdict::TooBig;
    if (field && ++lines_ > kMaxHeaderLines) return Verdict::TooManyLines;
    return Verdict::Ok;
}

bool is_field_line(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // A field name is a token, which never holds '/': "HTTP/" starts a
    // status line only.
    return !line.empty() && line.substr(0, 5) != "HTTP/";
}

bool content_lengths_conflict(std::span<const std::string> values) {
    std::string_view first;
    bool seen = false;
    for (std::string_view value : values) {
        for (;;) {
            const size_t comma = value.find(',');
            const std::string_view item = trim(value.substr(0, comma));
            if (!seen) {
                first = item;
                seen = true;
            } else if (item != first) {
                return true;
            }
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
        }
    }
    return false;
}

bool DecodeGuard::too_far(uint64_t decoded, uint64_t received) {
    if (decoded <= kExpansionFloor) return false;
    // decoded / received > kMaxExpansion, without a division by zero.
    return received == 0 || decoded / kMaxExpansion > received ||
           (decoded / kMaxExpansion == received && decoded % kMaxExpansion != 0);
}

bool DecodeGuard::exceeded(uint64_t received, uint64_t decoded) {
    if (received != received_) {
        // A new block came in: everything decoded so far came from the
        // blocks counted before it.
        settled_decoded_ = decoded_;
        settled_received_ = received_;
        received_ = received;
    }
    decoded_ += decoded;
    return too_far(settled_decoded_, settled_received_) || too_far(decoded_, received_);
}

}  // namespace halyard
