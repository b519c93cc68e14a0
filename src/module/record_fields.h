// Filling the text, byte and list fields of Core records from owned values.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "halyard.h"

namespace vesper {

// An empty value is written as a null pointer with length 0.
inline void set_text(const char*& ptr, uint64_t& len, const std::string& text) {
    ptr = text.empty() ? nullptr : text.data();
    len = text.size();
}

inline void set_bytes(const uint8_t*& ptr, uint64_t& len, const std::vector<uint8_t>& bytes) {
    ptr = bytes.empty() ? nullptr : bytes.data();
    len = bytes.size();
}

// Header entries pointing into `headers`, which must outlive them.
inline std::vector<HeaderEntry> header_entries(const std::vector<std::pair<std::string, std::string>>& headers) {
    std::vector<HeaderEntry> entries(headers.size());
    for (size_t i = 0; i < headers.size(); ++i) {
        set_text(entries[i].name, entries[i].name_len, headers[i].first);
        set_text(entries[i].value, entries[i].value_len, headers[i].second);
    }
    return entries;
}

}  // namespace vesper
