#include "module/enum_option.h"

#include "module/pytext.h"

namespace vesper {

Result<uint32_t> resolve_option(const std::optional<std::string>& text, std::span<const EnumEntry> table,
                                uint32_t absent, const char* prefix) {
    if (!text) return absent;
    for (const EnumEntry& entry : table) {
        if (*text == entry.text) return entry.value;
    }
    return Failure::runtime(std::string(prefix) + quoted_literal(*text));
}

}  // namespace vesper
