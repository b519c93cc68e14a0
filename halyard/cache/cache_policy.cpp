#include "cache/cache_policy.h"

#include <curl/curl.h>

#include <algorithm>
#include <limits>

#include "halyard.h"
#include "http/head_block.h"
#include "text/validate.h"

namespace halyard {
namespace {

// Comma-separated items, commas inside double quotes kept.
std::vector<std::string_view> split_list(std::string_view value) {
    std::vector<std::string_view> out;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] == '"') quoted = !quoted;
        if (i == value.size() || (value[i] == ',' && !quoted)) {
            std::string_view item = trim(value.substr(start, i - start));
            if (!item.empty()) out.push_back(item);
            start = i + 1;
        }
    }
    return out;
}

// A delta-seconds value; nothing when it is not one.  Values too large
// to hold saturate, as RFC 9111 1.2.2 asks.
std::optional<Seconds> parse_delta(std::string_view text) {
    if (text.empty()) return std::nullopt;
    Seconds v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (v > (std::numeric_limits<int32_t>::max() - (c - '0')) / 10) return std::numeric_limits<int32_t>::max();
        v = v * 10 + (c - '0');
    }
    return v;
}

std::optional<std::string> header_value(const HeaderList& headers, std::string_view name) {
    std::optional<std::string> out;
    for (const Header& h : headers) {
        if (!iequals(h.name, name)) continue;
        if (out) *out += ", ";
        else out.emplace();
        *out += trim(h.value);
    }
    return out;
}

// Field values compared for Vary: items trimmed, joined by ", ".
std::optional<std::string> normalized(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    std::string out;
    for (std::string_view item : split_list(*value)) {
        if (!out.empty()) out += ", ";
        out += item;
    }
    return out;
}

}  // namespace

CacheControl parse_cache_control(std::string_view value) {
    CacheControl cc;
    for (std::string_view item : split_list(value)) {
        std::string_view name = item, arg;
        if (const size_t eq = item.find('='); eq != std::string_view::npos) {
            name = trim(item.substr(0, eq));
            arg = trim(item.substr(eq + 1));
            if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') arg = arg.substr(1, arg.size() - 2);
        }
        if (iequals(name, "no-store")) cc.no_store = true;
        else if (iequals(name, "no-cache")) cc.no_cache = true;
        else if (iequals(name, "public") || iequals(name, "private")) cc.public_or_private = true;
        else if (iequals(name, "max-age")) {
            // A second max-age or an invalid one makes the response stale.
            cc.max_age = cc.max_age ? 0 : parse_delta(arg).value_or(0);
        }
    }
    return cc;
}

std::optional<Seconds> parse_http_date(std::string_view text) {
    const std::string copy(trim(text));
    if (copy.empty()) return std::nullopt;
    const time_t t = curl_getdate(copy.c_str(), nullptr);
    if (t == -1) return std::nullopt;
    return static_cast<Seconds>(t);
}

bool is_heuristically_cacheable(int status) {
    switch (status) {
    case 200: case 203: case 204: case 206: case 300: case 301: case 308:
    case 404: case 405: case 410: case 414: case 501:
        return true;
    default:
        return false;
    }
}

Seconds freshness_lifetime(const ParsedHead& head, const StoredTimes& times) {
    const CacheControl cc = parse_cache_control(head.get("Cache-Control").value_or(""));
    // A private cache ignores s-maxage.
    if (cc.max_age) return *cc.max_age;
    const Seconds date = parse_http_date(head.get("Date").value_or("")).value_or(times.response_time);
    if (auto expires = head.get("Expires")) {
        // An invalid Expires (such as "0") means already expired.
        auto when = parse_http_date(*expires);
        return when ? std::max<Seconds>(0, *when - date) : 0;
    }
    if (is_heuristically_cacheable(head.status)) {
        if (auto modified = parse_http_date(head.get("Last-Modified").value_or(""))) {
            return std::max<Seconds>(0, (date - *modified) / 10);
        }
    }
    return 0;
}

Seconds current_age(const ParsedHead& head, const StoredTimes& times, Seconds now) {
    const Seconds age_value = parse_delta(trim(head.get("Age").value_or(""))).value_or(0);
    const Seconds date = parse_http_date(head.get("Date").value_or("")).value_or(times.response_time);
    const Seconds apparent_age = std::max<Seconds>(0, times.response_time - date);
    const Seconds response_delay = std::max<Seconds>(0, times.response_time - times.request_time);
    const Seconds corrected_initial_age = std::max(apparent_age, age_value + response_delay);
    const Seconds resident_time = std::max<Seconds>(0, now - times.response_time);
    return corrected_initial_age + resident_time;
}

bool is_storable(const ParsedHead& head) {
    const int status = head.status;
    if (status < 200 || status > 599 || status == 206 || status == 304) return false;
    if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
        !head.get("Location").value_or("").empty())
        return false;
    const CacheControl cc = parse_cache_control(head.get("Cache-Control").value_or(""));
    if (cc.no_store) return false;
    const std::string vary = head.get("Vary").value_or("");  // the views below point into it
    for (std::string_view name : split_list(vary)) {
        if (name == "*") return false;
    }
    return cc.max_age || cc.public_or_private || head.get("Expires") || is_heuristically_cacheable(status);
}

VaryValues vary_values(const ParsedHead& head, const HeaderList& request) {
    VaryValues out;
    const std::string vary = head.get("Vary").value_or("");  // the views below point into it
    for (std::string_view name : split_list(vary)) {
        out.emplace_back(std::string(name), normalized(header_value(request, name)));
    }
    return out;
}

bool vary_matches(const VaryValues& stored, const HeaderList& request) {
    return std::all_of(stored.begin(), stored.end(), [&](const auto& entry) {
        return entry.first != "*" && normalized(header_value(request, entry.first)) == entry.second;
    });
}

HeaderList validation_headers(const ParsedHead& head) {
    HeaderList out;
    if (auto etag = head.get("ETag")) out.push_back({"If-None-Match", *etag});
    if (auto modified = head.get("Last-Modified")) out.push_back({"If-Modified-Since", *modified});
    return out;
}

ParsedHead merge_not_modified(const ParsedHead& stored, const ParsedHead& not_modified) {
    static constexpr std::string_view kKept[] = {
        "Content-Length", "Content-Encoding", "Content-Range", "Transfer-Encoding", "Connection",
        "Keep-Alive", "Proxy-Connection", "TE", "Trailer", "Upgrade"};
    auto kept = [](std::string_view name) {
        return std::any_of(std::begin(kKept), std::end(kKept), [&](auto k) { return iequals(k, name); });
    };
    ParsedHead out;
    out.status_line = stored.status_line;
    out.status = stored.status;
    std::vector<bool> used(not_modified.fields.size(), false);
    auto has_new = [&](std::string_view name) {
        if (kept(name)) return false;
        for (const auto& f : not_modified.fields) {
            if (iequals(f.first, name)) return true;
        }
        return false;
    };
    for (const auto& field : stored.fields) {
        if (!has_new(field.first)) {
            out.fields.push_back(field);
            continue;
        }
        // The first stored field of the name takes every new value.
        for (size_t i = 0; i < not_modified.fields.size(); ++i) {
            if (!used[i] && iequals(not_modified.fields[i].first, field.first)) {
                out.fields.push_back(not_modified.fields[i]);
                used[i] = true;
            }
        }
    }
    for (size_t i = 0; i < not_modified.fields.size(); ++i) {
        if (!used[i] && !kept(not_modified.fields[i].first)) out.fields.push_back(not_modified.fields[i]);
    }
    return out;
}

bool is_safe_method(std::string_view method) {
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE";
}

uint32_t effective_cache_mode(uint32_t mode, const HeaderList& caller) {
    if (mode != HY_CACHE_DEFAULT) return mode;
    static constexpr std::string_view kConditional[] = {"If-Modified-Since", "If-None-Match", "If-Unmodified-Since",
                                                        "If-Match", "If-Range", "Range"};
    for (auto name : kConditional) {
        if (has_header(caller, name)) return HY_CACHE_NO_STORE;
    }
    const CacheControl cc = parse_cache_control(header_value(caller, "Cache-Control").value_or(""));
    if (cc.no_store) return HY_CACHE_NO_STORE;
    const bool pragma_no_cache = std::any_of(caller.begin(), caller.end(), [](const Header& h) {
        return iequals(h.name, "Pragma") && iequals(trim(h.value), "no-cache");
    });
    if (cc.no_cache || pragma_no_cache) return HY_CACHE_BYPASS;
    if (cc.max_age && *cc.max_age == 0) return HY_CACHE_VALIDATE;
    return mode;
}

}  // namespace halyard
