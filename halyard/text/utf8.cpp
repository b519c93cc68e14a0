#include "text/utf8.h"

#include <cstring>

namespace halyard {

bool is_valid_utf8(const uint8_t* data, size_t len) {
    size_t i = 0;
    while (i < len) {
        // ASCII runs are checked eight bytes at a time.
        if (i + 8 <= len) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const uint8_t c = data[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        // The allowed range of the second byte narrows for E0, ED, F0 and
        // F4, which is how overlong forms, surrogates and values above
        // U+10FFFF are refused.
        uint8_t low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (len - i <= extra) return false;
        if (data[i + 1] < low || data[i + 1] > high) return false;
        for (size_t k = 2; k <= extra; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace halyard
