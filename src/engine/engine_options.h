// Engine options that need more than a conversion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "module/failure.h"

namespace vesper {

// chrome120 and chrome_120 both name chrome_120; every other text is kept.
std::string normalise_profile(std::string profile);

// The HttpVersion number for an `http_version` text (absent: automatic).
Result<uint32_t> resolve_http_version(const std::optional<std::string>& text);

// 2 without verification, 1 with a CA bundle given (even empty), else 0.
uint32_t tls_verify_mode(bool verify, bool has_ca_bundle);

}  // namespace vesper
