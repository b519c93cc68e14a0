#include "engine/engine_options.h"

#include "halyard.h"
#include "module/enum_option.h"

namespace vesper {

std::string normalise_profile(std::string profile) {
    if (profile.size() < 7 || profile.compare(0, 6, "chrome") != 0) return profile;
    const size_t start = profile[6] == '_' ? 7 : 6;
    if (start == profile.size()) return profile;
    for (size_t i = start; i < profile.size(); ++i) {
        if (profile[i] < '0' || profile[i] > '9') return profile;
    }
    return "chrome_" + profile.substr(start);
}

Result<uint32_t> resolve_http_version(const std::optional<std::string>& text) {
    static constexpr EnumEntry kTable[] = {
        {"auto", HY_HTTP_AUTO}, {"native", HY_HTTP_AUTO}, {"h1", HY_HTTP_1_1},   {"v1", HY_HTTP_1_1},
        {"http/1.1", HY_HTTP_1_1}, {"h2", HY_HTTP_2},   {"v2", HY_HTTP_2},     {"http/2", HY_HTTP_2},
        {"h3", HY_HTTP_3},      {"v3", HY_HTTP_3},       {"http/3", HY_HTTP_3},
    };
    return resolve_option(text, kTable, HY_HTTP_AUTO, "unknown http version ");
}

uint32_t tls_verify_mode(bool verify, bool has_ca_bundle) {
    if (!verify) return HY_TLS_NO_VERIFY;
    return has_ca_bundle ? HY_TLS_CA_BUNDLE : HY_TLS_SYSTEM_ROOTS;
}

}  // namespace vesper
