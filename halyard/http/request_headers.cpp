#include "http/request_headers.h"

#include <vector>

#include "text/url.h"

namespace halyard {
namespace {

bool is_loopback_host(std::string_view host) {
    if (host == "localhost" || host == "[::1]" || host == "::1") return true;
    constexpr std::string_view kLocalSuffix = ".localhost";
    if (host.size() > kLocalSuffix.size() && host.substr(host.size() - kLocalSuffix.size()) == kLocalSuffix)
        return true;
    // 127.0.0.0/8 written as a dotted quad (curl's parser normalises other forms).
    if (host.substr(0, 4) != "127.") return false;
    int dots = 0;
    for (char c : host) {
        if (c == '.') ++dots;
        else if (c < '0' || c > '9') return false;
    }
    return dots == 3;
}

}  // namespace

bool is_potentially_trustworthy(std::string_view url) {
    auto parsed = parse_url(url);
    if (!parsed) return false;
    return parsed->scheme == "https" || is_loopback_host(parsed->host);
}

HeaderList compose_request_headers(const HeaderInputs& in, const HeaderList& caller) {
    HeaderList out;
    if (in.profile == nullptr) {
        out = caller;
        if (!in.accept_language.empty() && !has_header(caller, "Accept-Language"))
            out.push_back({"Accept-Language", std::string(in.accept_language)});
        return out;
    }
    const bool secure = is_potentially_trustworthy(in.url);
    std::vector<bool> taken(caller.size(), false);
    for (const ProfileHeader& h : in.profile->headers) {
        // The caller's headers of this name take its place, all of them.
        bool replaced = false;
        for (size_t i = 0; i < caller.size(); ++i) {
            if (!taken[i] && iequals(caller[i].name, h.name)) {
                out.push_back(caller[i]);
                taken[i] = true;
                replaced = true;
            }
        }
        if (replaced) continue;
        std::string value = h.value;
        switch (h.role) {
        case HeaderRole::ClientHint:
        case HeaderRole::FetchMetadata:
            if (!secure) continue;
            break;
        case HeaderRole::Http2Only:
            if (!in.may_use_http2) continue;
            break;
        case HeaderRole::UserAgent:
            if (!in.user_agent.empty()) value = in.user_agent;
            break;
        case HeaderRole::AcceptLanguage:
            if (!in.accept_language.empty()) value = in.accept_language;
            break;
        case HeaderRole::AcceptEncoding:
            if (!secure) value = in.profile->insecure_accept_encoding;
            break;
        case HeaderRole::Plain:
        case HeaderRole::Connection:
            break;
        }
        out.push_back({h.name, std::move(value)});
    }
    for (size_t i = 0; i < caller.size(); ++i) {
        if (!taken[i]) out.push_back(caller[i]);
    }
    return out;
}

}  // namespace halyard
