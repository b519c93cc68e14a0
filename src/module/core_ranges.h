// Copies of the byte ranges the Core lends to a callback for one call.
// Plain C++: Core threads run these without the interpreter lock.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "module/convert.h"
#include "module/utf8.h"

namespace vesper {

// Reserving first rejects an impossible length before any byte is read.
inline Bytes copy_core_bytes(const uint8_t* data, uint64_t len) {
    Bytes out;
    if (len == 0) return out;
    out.reserve(len);
    out.assign(data, data + len);
    return out;
}

// A text from the Core, each invalid UTF-8 sequence replaced by U+FFFD.
inline std::string copy_core_text(const char* data, uint64_t len) {
    const Bytes raw = copy_core_bytes(reinterpret_cast<const uint8_t*>(data), len);
    return utf8_lossy(raw.data(), raw.size());
}

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

}  // namespace vesper
