#include "transport/quic_origins.h"

#include <algorithm>
#include <type_traits>

#include "text/header.h"

namespace halyard {
namespace {

std::string_view unquote(std::string_view s) {
    s = trim(s);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

bool all_digits(std::string_view s) {
    return !s.empty() && s.size() <= 5 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Splits at `sep` outside double quotes.
template <typename F>
void split(std::string_view s, char sep, F&& each) {
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s[i] == '"') quoted = !quoted;
        if (i == s.size() || (s[i] == sep && !quoted)) {
            each(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
}

}  // namespace

AltSvcH3 parse_alt_svc_h3(std::string_view value, std::string_view origin_host) {
    AltSvcH3 out;
    if (trim(value) == "clear") {
        out.clear = true;
        return out;
    }
    split(value, ',', [&](std::string_view entry) {
        if (out.target) return;
        std::optional<QuicTarget> target;
        std::chrono::seconds max_age{86400};
        bool first = true;
        split(entry, ';', [&](std::string_view part) {
            const size_t eq = part.find('=');
            if (eq == std::string_view::npos) {
                first = false;
                return;
            }
            const std::string_view key = trim(part.substr(0, eq));
            const std::string_view val = unquote(part.substr(eq + 1));
            if (first) {
                first = false;
                if (key != "h3") return;
                // "host:port", ":port" or "[v6]:port".
                const size_t colon = val.rfind(':');
                if (colon == std::string_view::npos || !all_digits(val.substr(colon + 1))) return;
                std::string_view host = val.substr(0, colon);
                if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
                QuicTarget t{std::string(host.empty() ? origin_host : host), std::string(val.substr(colon + 1)), true};
                if (t.port == "0") return;
                target = std::move(t);
            } else if (key == "ma") {
                // Digits only; a longer age than a year is a year.
                constexpr unsigned long long kYear = 365ull * 86400;
                unsigned long long seconds = 0;
                bool valid = !val.empty();
                for (char c : val) {
                    if (c < '0' || c > '9') {
                        valid = false;
                        break;
                    }
                    seconds = std::min(seconds * 10 + static_cast<unsigned long long>(c - '0'), kYear);
                }
                if (valid) max_age = std::chrono::seconds(static_cast<long long>(seconds));
            }
        });
        if (target) {
            out.target = std::move(target);
            out.max_age = max_age;
        }
    });
    return out;
}

std::string QuicOrigins::broken_key(const std::string& origin, const QuicTarget& t) {
    return origin + "|" + t.host + ":" + t.port;
}

template <typename Map>
void QuicOrigins::make_room(Map& map, Clock::time_point now) {
    if (map.size() < kMaxEntries) return;
    for (auto it = map.begin(); it != map.end();) {
        const bool stale = [&] {
            if constexpr (std::is_same_v<typename Map::mapped_type, Advertised>) return it->second.expires <= now;
            else return it->second.until <= now;
        }();
        it = stale ? map.erase(it) : std::next(it);
    }
    // Still full: one arbitrary entry goes (forgetting costs one extra try).
    if (map.size() >= kMaxEntries) map.erase(map.begin());
}

void QuicOrigins::on_alt_svc(const std::string& origin, std::string_view origin_host, std::string_view value,
                             Clock::time_point now) {
    AltSvcH3 alt = parse_alt_svc_h3(value, origin_host);
    if (alt.clear) {
        advertised_.erase(origin);
        return;
    }
    if (!alt.target) return;
    if (alt.max_age.count() == 0) {
        advertised_.erase(origin);
        return;
    }
    auto it = advertised_.find(origin);
    if (it == advertised_.end()) {
        make_room(advertised_, now);
        it = advertised_.emplace(origin, Advertised{}).first;
    }
    it->second.target = std::move(*alt.target);
    it->second.expires = now + alt.max_age;
}

std::optional<QuicTarget> QuicOrigins::target(const std::string& origin, std::string_view host,
                                              std::string_view port, Clock::time_point now) const {
    QuicTarget t{std::string(host), std::string(port), false};
    if (auto it = advertised_.find(origin); it != advertised_.end() && it->second.expires > now) t = it->second.target;
    if (auto it = broken_.find(broken_key(origin, t)); it != broken_.end() && it->second.until > now) return std::nullopt;
    return t;
}

void QuicOrigins::mark_broken(const std::string& origin, const QuicTarget& target, Clock::time_point now) {
    const std::string key = broken_key(origin, target);
    auto it = broken_.find(key);
    if (it == broken_.end()) {
        make_room(broken_, now);
        it = broken_.emplace(key, Broken{}).first;
    }
    Broken& b = it->second;
    b.failures = std::min(b.failures + 1, 10);
    b.until = now + std::chrono::minutes(5) * (1 << (b.failures - 1));
}

void QuicOrigins::mark_working(const std::string& origin, const QuicTarget& target) {
    broken_.erase(broken_key(origin, target));
}

}  // namespace halyard
