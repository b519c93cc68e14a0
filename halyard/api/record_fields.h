// Reading the C records the entry points are given: their common header
// (ABI version, size) and their text fields (pointer and length).
#pragma once

#include <cstdint>
#include <string>

#include "halyard.h"

namespace halyard {

// HY_OK when `record` is set and was built for this ABI and layout.
template <typename Record>
uint32_t check_record_header(const Record* record) {
    if (record == nullptr) return HY_INVALID_ARGUMENT;
    if (record->abi != HY_ABI_VERSION) return HY_UNSUPPORTED_ABI;
    if (record->size != sizeof(Record)) return HY_INVALID_ARGUMENT;
    return HY_OK;
}

// A text field is valid when its pointer is set or its length is 0; `out`
// gets its bytes (empty for length 0).
inline bool read_text(const char* ptr, uint64_t len, std::string& out) {
    out.clear();
    if (len == 0) return true;
    if (ptr == nullptr) return false;
    out.assign(ptr, static_cast<size_t>(len));
    return true;
}

}  // namespace halyard
