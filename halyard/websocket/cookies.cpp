#include "websocket/cookies.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "text/header.h"
#include "text/validate.h"

namespace halyard {

std::vector<std::string> jar_lines(CURL* easy) {
    std::vector<std::string> lines;
    curl_slist* list = nullptr;
    if (easy == nullptr || curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) != CURLE_OK) return lines;
    for (curl_slist* item = list; item != nullptr; item = item->next) lines.emplace_back(item->data);
    curl_slist_free_all(list);
    return lines;
}
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool is_ip_literal(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return true;
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// RFC 6265 5.1.3; `domain` without a leading dot.
bool domain_matches(std::string_view host, std::string_view domain, bool subdomains) {
    if (iequals(host, domain)) return true;
    if (!subdomains || is_ip_literal(host) || host.size() <= domain.size()) return false;
    return host[host.size() - domain.size() - 1] == '.' && iequals(host.substr(host.size() - domain.size()), domain);
}

// RFC 6265 5.1.4.
bool path_matches(std::string_view request, std::string_view cookie) {
    if (request.substr(0, cookie.size()) != cookie) return false;
    return request.size() == cookie.size() || cookie.back() == '/' || request[cookie.size()] == '/';
}

std::string default_path(std::string_view path) {
    if (path.empty() || path[0] != '/') return "/";
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == '\t') {
            out.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

}  // namespace

bool is_local_host(std::string_view host) {
    return iequals(host, "localhost") || host == "127.0.0.1" || host == "::1" || host == "[::1]";
}

std::string cookie_header(const std::vector<std::string>& jar_lines, std::string_view host, std::string_view path,
                          bool secure, int64_t now) {
    struct Match {
        size_t path_len;
        size_t order;
        std::string pair;
    };
    std::vector<Match> matches;
    if (path.empty()) path = "/";
    for (const std::string& line : jar_lines) {
        auto f = split_tabs(line);
        if (f.size() < 7) continue;
        std::string_view domain = f[0];
        if (domain.substr(0, 10) == "#HttpOnly_") domain.remove_prefix(10);
        const bool subdomains = f[1] == "TRUE";
        if (!domain.empty() && domain[0] == '.') domain.remove_prefix(1);
        if (!domain_matches(host, domain, subdomains)) continue;
        if (!path_matches(path, f[2])) continue;
        if (f[3] == "TRUE" && !secure) continue;
        const int64_t expires = std::strtoll(std::string(f[4]).c_str(), nullptr, 10);
        if (expires != 0 && expires <= now) continue;
        std::string pair(f[5]);
        pair.append("=").append(f[6]);
        matches.push_back({f[2].size(), matches.size(), std::move(pair)});
    }
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match& a, const Match& b) { return a.path_len > b.path_len; });
    std::string out;
    for (const Match& m : matches) {
        if (!out.empty()) out.append("; ");
        out.append(m.pair);
    }
    return out;
}

std::optional<std::string> jar_line_from_set_cookie(std::string_view set_cookie, std::string_view host,
                                                     std::string_view path, int64_t now) {
    size_t semi = set_cookie.find(';');
    const std::string_view pair = trim(set_cookie.substr(0, semi));
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos || eq == 0) return std::nullopt;
    const std::string_view name = trim(pair.substr(0, eq));
    const std::string_view value = trim(pair.substr(eq + 1));
    if (name.empty() || name.find_first_of("\t\r\n") != std::string_view::npos ||
        value.find_first_of("\t\r\n") != std::string_view::npos)
        return std::nullopt;

    std::string domain;
    std::string cookie_path = default_path(path);
    bool secure = false, http_only = false;
    std::optional<int64_t> expires, max_age;
    while (semi != std::string_view::npos) {
        const size_t next = set_cookie.find(';', semi + 1);
        const std::string_view attr = trim(set_cookie.substr(semi + 1, next == std::string_view::npos ? std::string_view::npos : next - semi - 1));
        semi = next;
        const size_t aeq = attr.find('=');
        const std::string_view key = trim(attr.substr(0, aeq));
        const std::string_view val = aeq == std::string_view::npos ? std::string_view{} : trim(attr.substr(aeq + 1));
        if (iequals(key, "Domain") && !val.empty()) {
            domain = lower(val[0] == '.' ? val.substr(1) : val);
        } else if (iequals(key, "Path") && !val.empty() && val[0] == '/') {
            cookie_path = std::string(val);
        } else if (iequals(key, "Secure")) {
            secure = true;
        } else if (iequals(key, "HttpOnly")) {
            http_only = true;
        } else if (iequals(key, "Max-Age") && !val.empty()) {
            char* end = nullptr;
            const std::string text(val);
            const long long seconds = std::strtoll(text.c_str(), &end, 10);
            if (end != nullptr && *end == '\0') max_age = seconds;
        } else if (iequals(key, "Expires") && !val.empty()) {
            const std::string text(val);
            const time_t t = curl_getdate(text.c_str(), nullptr);
            if (t != -1) expires = static_cast<int64_t>(t);
        }
    }
    const bool subdomains = !domain.empty();
    if (subdomains && !domain_matches(host, domain, true)) return std::nullopt;
    if (!subdomains) domain = lower(host);

    // 0 is a session cookie; 1 lies in the past and removes the cookie.
    int64_t expiry = 0;
    if (max_age) {
        expiry = *max_age <= 0 ? 1 : now + *max_age;
    } else if (expires) {
        expiry = *expires <= now ? 1 : *expires;
    }
    std::string line;
    if (http_only) line.append("#HttpOnly_");
    line.append(subdomains ? "." + domain : domain);
    line.append(subdomains ? "\tTRUE\t" : "\tFALSE\t");
    line.append(cookie_path).append(secure ? "\tTRUE\t" : "\tFALSE\t");
    line.append(std::to_string(expiry)).append("\t").append(name).append("\t").append(value);
    return line;
}

}  // namespace halyard
