#include "api/engine_options.h"

#include <charconv>
#include <climits>

#include "halyard.h"

namespace halyard {

namespace {

bool read_number(std::string_view text, long low, long high, long& out) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) return false;
    out = value;
    return true;
}

bool printable(std::string_view text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f) return false;
    }
    return !text.empty();
}

// "host:port:address": a host without ':' (or a bracketed IPv6 literal),
// a port number, and an address (bracketed when IPv6).
bool valid_resolve(std::string_view entry) {
    if (!printable(entry) || entry.find(',') != std::string_view::npos) return false;
    size_t host_end = 0;
    if (entry[0] == '[') {
        host_end = entry.find(']');
        if (host_end == std::string_view::npos) return false;
        ++host_end;
    } else {
        host_end = entry.find(':');
    }
    if (host_end == 0 || host_end == std::string_view::npos || host_end >= entry.size() || entry[host_end] != ':')
        return false;
    const size_t port_end = entry.find(':', host_end + 1);
    if (port_end == std::string_view::npos) return false;
    long port = 0;
    if (!read_number(entry.substr(host_end + 1, port_end - host_end - 1), 1, 65535, port)) return false;
    return port_end + 1 < entry.size();
}

bool apply(std::string_view name, std::string_view value, EngineOptions& out) {
    long number = 0;
    if (name == "max_connections") {
        if (!read_number(value, 1, 1000000, number)) return false;
        out.max_connections = static_cast<int>(number);
    } else if (name == "max_connections_per_host") {
        if (!read_number(value, 1, 1000000, number)) return false;
        out.max_connections_per_host = static_cast<int>(number);
    } else if (name == "max_keepalive_connections") {
        if (!read_number(value, 1, 1000000, number)) return false;
        out.max_keepalive_connections = number;
    } else if (name == "keepalive_expiry_ms") {
        if (!read_number(value, 0, 86400000, number)) return false;
        out.keepalive_expiry_ms = number;
    } else if (name == "resolve") {
        if (!valid_resolve(value)) return false;
        out.resolve.emplace_back(value);
    } else if (name == "ip_version") {
        if (value == "4") out.ip_resolve = CURL_IPRESOLVE_V4;
        else if (value == "6") out.ip_resolve = CURL_IPRESOLVE_V6;
        else if (value == "any") out.ip_resolve = CURL_IPRESOLVE_WHATEVER;
        else return false;
    } else if (name == "doh_url") {
        if (!printable(value) || value.substr(0, 8) != "https://") return false;
        out.doh_url = std::string(value);
    } else {
        return false;
    }
    return true;
}

}  // namespace

uint32_t read_engine_options(std::string_view text, EngineOptions& out) {
    out = EngineOptions{};
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || !apply(line.substr(0, eq), line.substr(eq + 1), out))
            return HY_INVALID_ARGUMENT;
    }
    curl_slist* list = nullptr;
    for (const std::string& entry : out.resolve) {
        curl_slist* next = curl_slist_append(list, entry.c_str());
        if (next == nullptr) {
            curl_slist_free_all(list);
            return HY_OUT_OF_MEMORY;
        }
        list = next;
    }
    if (list != nullptr) out.resolve_list.reset(list, curl_slist_free_all);
    return HY_OK;
}

std::string EngineOptions::group_key() const {
    std::string key = " l" + std::to_string(max_connections) + "/" + std::to_string(max_connections_per_host) + " i" +
                      std::to_string(ip_resolve);
    if (!doh_url.empty()) key += " d" + std::to_string(doh_url.size()) + ":" + doh_url;
    for (const std::string& entry : resolve) key += " r" + std::to_string(entry.size()) + ":" + entry;
    return key;
}

}  // namespace halyard
