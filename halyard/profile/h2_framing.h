// How a browser opens an HTTP/2 connection and writes a request's HEADERS:
// the SETTINGS it sends (ids, values and order), the connection window it
// opens with its first WINDOW_UPDATE, and the order of the pseudo-headers.
// transport/h2_framing_hooks.cpp puts these in place of libcurl's own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halyard {

struct H2Setting {
    int32_t id = 0;
    uint32_t value = 0;
};

struct H2Framing {
    std::array<H2Setting, 8> settings{};
    size_t setting_count = 0;
    // The increment of the WINDOW_UPDATE on stream 0 that follows SETTINGS.
    uint32_t connection_window_increment = 0;
    // The pseudo-headers in sending order, by their first letter after the
    // colon: m(ethod), a(uthority), s(cheme), p(ath); libcurl's by default.
    std::array<char, 4> pseudo_order{'m', 'p', 's', 'a'};

    // The stream window the SETTINGS announce (HTTP/2's 65535 when they
    // leave INITIAL_WINDOW_SIZE out).
    uint32_t initial_window() const;
    // The Akamai fingerprint text of a connection opened this way, with
    // no PRIORITY frames: "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p".
    std::string akamai() const;
};

// The framing of a connection without a profile: libcurl 7.88's
// ("3:100;4:33554432;2:0|33488897|0|m,p,s,a"), which the Core kept when it
// moved to its own libcurl, whose defaults differ (a 64 KiB stream window
// grown per stream, a 1 GiB connection window, another pseudo-header order).
const H2Framing& plain_h2_framing();

// The framing an Akamai fingerprint text describes; nullopt when the text
// is malformed or names PRIORITY frames (the Core sends none).
std::optional<H2Framing> parse_h2_framing(std::string_view akamai);

}  // namespace halyard
