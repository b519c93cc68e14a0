#include "module/utf8.h"

namespace vesper {

namespace {

// Length of the valid sequence starting at data[i], or 0 with `bad` set to
// the length of the maximal subpart to replace.
size_t valid_sequence(const uint8_t* data, size_t len, size_t i, size_t& bad) {
    const uint8_t b0 = data[i];
    bad = 1;
    if (b0 < 0x80) return 1;
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= len) return 0;
        const uint8_t b = data[i + k];
        const uint8_t l = k == 1 ? lo : 0x80;
        const uint8_t h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) return 0;
        bad = k + 1;
    }
    return need + 1;
}

}  // namespace

std::string utf8_lossy(const uint8_t* data, size_t len) {
    std::string out;
    out.reserve(len);
    size_t i = 0;
    while (i < len) {
        size_t bad = 1;
        const size_t n = valid_sequence(data, len, i, bad);
        if (n != 0) {
            out.append(reinterpret_cast<const char*>(data + i), n);
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += bad;
        }
    }
    return out;
}

char32_t utf8_next(std::string_view text, size_t& pos) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t b0 = s[pos];
    if (b0 < 0x80) {
        pos += 1;
        return b0;
    }
    size_t n = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
    char32_t cp = b0 & (0x3F >> (n - 1));
    for (size_t k = 1; k < n && pos + k < text.size(); ++k) cp = (cp << 6) | (s[pos + k] & 0x3F);
    pos += n;
    return cp;
}

void utf8_append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace vesper
