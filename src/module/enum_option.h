// Enumerated text options: exact, case-sensitive texts mapped to numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "module/failure.h"

namespace vesper {

struct EnumEntry {
    const char* text;
    uint32_t value;
};

// `absent` when no text was given; a text outside the table fails with
// RuntimeError "<prefix>" followed by the text as a quoted literal.
Result<uint32_t> resolve_option(const std::optional<std::string>& text, std::span<const EnumEntry> table,
                                uint32_t absent, const char* prefix);

}  // namespace vesper
