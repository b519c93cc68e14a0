// URL checks, Location resolution and credential stripping.  The first
// byte splits the input into a base URL and a second text; whatever the
// input, an accepted URL must be safe to put on a request line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/url.h"
#include "text/validate.h"

namespace {

bool line_safe(std::string_view text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f) return false;
    }
    return true;
}

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t split = std::min<size_t>(data[0], all.size());
    const std::string_view base = all.substr(0, split);
    const std::string_view text = all.substr(split);

    // What goes on the request line is the parsed URL (a space inside is
    // percent-encoded then).
    if (auto parsed = halyard::parse_request_url(text)) require(line_safe(parsed->url));
    if (halyard::validate_websocket_url(text)) {
        require(text.find('#') == std::string_view::npos);
        auto parsed = halyard::parse_url(text);
        require(parsed.has_value() && line_safe(parsed->url));
    }
    if (halyard::validate_origin(text)) {
        require(line_safe(text));
        const size_t authority = text.find("://");
        if (authority != std::string_view::npos)
            require(text.find_first_of("/?#@", authority + 3) == std::string_view::npos);
    }
    if (halyard::validate_host(text)) require(line_safe(text) && text.find_first_of("/?#@") == std::string_view::npos);

    // A redirect target becomes the next request line.
    const halyard::Resolved resolved = halyard::resolve_location(base, text);
    if (resolved.status == halyard::Resolved::Ok) {
        require(line_safe(resolved.url));
        const std::string reported = halyard::without_credentials(resolved.url);
        if (auto parsed = halyard::parse_url(reported)) {
            const std::string again = halyard::without_credentials(reported);
            require(again == reported);  // nothing left to strip
        }
    }
    return 0;
}
