// UTF-8 helpers that need no interpreter: Core callbacks run them on Core
// threads without the interpreter lock.  The Core's own UTF-8 code only
// validates and stays behind hy_*, which carries no text helpers; what the
// module needs is decoding with U+FFFD in place of invalid sequences (the
// Core hands over texts it did not write: curl's messages, header bytes),
// so this is the module's own, not a second copy of the Core's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesper {

// Decodes `data` as UTF-8, replacing each maximal invalid subpart with
// U+FFFD (the same substitution CPython's "replace" error handler makes).
std::string utf8_lossy(const uint8_t* data, size_t len);

inline std::string utf8_lossy(std::string_view text) {
    return utf8_lossy(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Decodes the next code point of valid UTF-8 starting at `pos`, advancing it.
char32_t utf8_next(std::string_view text, size_t& pos);

void utf8_append(std::string& out, char32_t cp);

}  // namespace vesper
