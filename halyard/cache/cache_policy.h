// HTTP caching rules (RFC 9111, as a browser's private cache applies
// them): which responses may be stored, how long they stay fresh, how a
// stored response is validated and updated, and which stored response
// matches a request (Vary).  Pure functions over texts and times, so the
// rules are tested without a network.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/head_block.h"
#include "text/header.h"

namespace halyard {

using Seconds = int64_t;  // seconds since the epoch, or a duration

struct CacheControl {
    bool no_store = false;
    bool no_cache = false;
    bool public_or_private = false;   // marks the response storable
    std::optional<Seconds> max_age;
};

// Directives of a Cache-Control value (case-insensitive names, quoted or
// plain arguments; an unparsable max-age counts as 0, i.e. stale).
CacheControl parse_cache_control(std::string_view value);

// An HTTP date (IMF-fixdate, RFC 850 or asctime); nothing when invalid.
std::optional<Seconds> parse_http_date(std::string_view text);

// What a stored response needs for freshness arithmetic.
struct StoredTimes {
    Seconds request_time = 0;   // when the request that got it was sent
    Seconds response_time = 0;  // when the response was received
};

// Freshness lifetime: max-age, else Expires minus Date, else (for
// heuristically cacheable statuses) a tenth of Date minus Last-Modified.
Seconds freshness_lifetime(const ParsedHead& head, const StoredTimes& times);
// The response's current age at `now` (RFC 9111 4.2.3).
Seconds current_age(const ParsedHead& head, const StoredTimes& times, Seconds now);

bool is_heuristically_cacheable(int status);

// Whether a final response to a GET may be stored: not no-store, not
// Vary: *, not partial or a redirect the Core follows, and explicitly
// fresh, heuristically cacheable or validatable.
bool is_storable(const ParsedHead& head);

// The request header values a stored response was selected by (its Vary
// names); a stored response matches a later request when every value is
// the same (absent matching absent, whitespace around commas ignored).
using VaryValues = std::vector<std::pair<std::string, std::optional<std::string>>>;
VaryValues vary_values(const ParsedHead& head, const HeaderList& request);
bool vary_matches(const VaryValues& stored, const HeaderList& request);

// If-None-Match from ETag and If-Modified-Since from Last-Modified.
HeaderList validation_headers(const ParsedHead& head);

// The stored head refreshed by a 304: its fields replace the stored ones
// of the same name, except those that describe the stored body.
ParsedHead merge_not_modified(const ParsedHead& stored, const ParsedHead& not_modified);

// Methods that never change the resource.
bool is_safe_method(std::string_view method);

// The cache mode a request really gets from its mode and the caller's
// headers, as Chromium reads them: conditional or range headers mean the
// caller handles validation itself (no_store); Cache-Control no-store is
// no_store; no-cache or Pragma: no-cache is bypass; max-age=0 is
// validate.  Only the default mode is changed.
uint32_t effective_cache_mode(uint32_t mode, const HeaderList& caller);

}  // namespace halyard
