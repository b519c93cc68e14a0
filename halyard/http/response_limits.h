// Bounds on what a server may make the Core hold or produce: the size and
// line count of a response head, agreeing Content-Length fields, and how
// far a content-encoded body may expand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halyard {

constexpr size_t kMaxHeadBytes = 256 * 1024;            // all head lines of one response
constexpr int kMaxHeaderLines = 100;                    // field lines of one head (or of the trailers)
constexpr uint64_t kMaxExpansion = 1000;                // decoded bytes per received byte
constexpr uint64_t kExpansionFloor = 64 * 1024 * 1024;  // decoded bytes allowed whatever the ratio

// Counts the lines curl hands to the header callback during one hop:
// status lines, field lines, the empty lines that end heads, trailers.
class HeadBudget {
public:
    enum class Verdict { Ok, TooBig, TooManyLines };

    // `bytes`: the line with its ending; `field`: a header field line (not
    // a status line and not the empty line).  Bytes add up over the whole
    // hop, informational heads and trailers included, so neither a flood
    // of 1xx heads nor of trailers goes unbounded.
    Verdict add(size_t bytes, bool field);
    // A head ended (informational or final): the next head, or the
    // trailers, count their field lines from zero.
    void restart_lines() { lines_ = 0; }
    void reset() { *this = HeadBudget{}; }

private:
    size_t bytes_ = 0;
    int lines_ = 0;
};

// True for a header field line (not a status line, not the empty line);
// `line` as curl hands it over, with its line ending.
bool is_field_line(std::string_view line);

// True when the Content-Length fields of a head (each possibly a comma
// list) name more than one length; curl would pick one and the body could
// be cut anywhere.
bool content_lengths_conflict(std::span<const std::string> values);

// Watches a content-decoded body for a decompression bomb: more than
// kMaxExpansion decoded bytes per received byte once past kExpansionFloor.
//
// curl counts a received block before it decodes it, so during a block the
// count runs ahead of the output; the ratio is also taken at each block
// boundary (when the count moves), where output and count belong together.
class DecodeGuard {
public:
    // `received`: curl's count of body bytes received so far (before
    // decoding); `decoded`: the size of the decoded piece delivered now.
    // True when the body has expanded too far.
    bool exceeded(uint64_t received, uint64_t decoded);
    void reset() { *this = DecodeGuard{}; }

private:
    static bool too_far(uint64_t decoded, uint64_t received);

    uint64_t decoded_ = 0;
    uint64_t received_ = 0;
    uint64_t settled_decoded_ = 0;
    uint64_t settled_received_ = 0;
};

}  // namespace halyard
