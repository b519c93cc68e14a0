// Assembly of a response head block from the header lines curl hands over.
//
// The block is the status line and the header lines exactly as received,
// each ending in CRLF (a bare LF ending is written as CRLF), closed by an
// empty line.  HTTP/2 has no status line on the wire: its block starts
// with "HTTP/2 <code>" and nothing after the code.  Informational (1xx) heads are skipped: a new status line
// starts the block again.  Lines after the complete head (trailers) are not
// part of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halyard {

// The status code of an "HTTP/x[.y] NNN ..." line, or nothing.
std::optional<int> parse_status_line(std::string_view line);

using HeadFields = std::vector<std::pair<std::string, std::string>>;

enum class FieldLine { Field, Folded, Malformed };

// Adds one field line (no line ending) to `fields`, name and value trimmed;
// an obsolete folded continuation joins the previous field's value.  A line
// that is neither a continuation nor "name: value" adds nothing.
FieldLine add_field_line(HeadFields& fields, std::string_view line);

// A whole response head split into its status line and fields (names as
// sent): the cache's stored heads and a WebSocket's handshake answer.
struct ParsedHead {
    std::string status_line;
    int status = 0;             // 0 when the status line is not one
    HeadFields fields;
    bool folded = false;        // a continuation line was joined
    bool malformed = false;     // a field line was neither a field nor a continuation

    // All values of a field joined by ", " (RFC 9110 field combination);
    // nothing when absent.
    std::optional<std::string> get(std::string_view name) const;
    // The head block again: status line, fields, empty line, CRLF endings.
    std::string block() const;
};

// Parses lines ending in CRLF or LF up to the empty line; what follows it
// is not part of the head.
ParsedHead parse_head(std::string_view block);

class HeadCollector {
public:
    enum class Event { None, Informational, Complete, Malformed };

    // Feeds one line, with whatever line ending it came with.
    Event feed(std::string_view line);

    bool complete() const { return complete_; }
    // True once any line of a response arrived (informational ones too).
    bool started() const { return started_; }
    int status() const { return status_; }
    const std::string& block() const { return block_; }

    // The first value of a header (case-insensitive name), trimmed.
    std::optional<std::string> header(std::string_view name) const;
    // Every value of a header (case-insensitive name), trimmed, in order.
    std::vector<std::string> values(std::string_view name) const;
    // True when Transfer-Encoding's last coding is chunked.
    bool chunked() const;

    void reset();

private:
    std::string block_;
    HeadFields fields_;
    int status_ = 0;
    bool started_ = false;
    bool complete_ = false;
};

}  // namespace halyard
