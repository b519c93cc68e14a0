#include "http/head_block.h"

#include "text/header.h"

namespace halyard {
namespace {

std::string_view strip_line_end(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

std::optional<int> parse_status_line(std::string_view line) {
    line = strip_line_end(line);
    if (line.substr(0, 5) != "HTTP/") return std::nullopt;
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    std::string_view rest = line.substr(space + 1);
    if (rest.size() < 3) return std::nullopt;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        const char c = rest[static_cast<size_t>(i)];
        if (c < '0' || c > '9') return std::nullopt;
        code = code * 10 + (c - '0');
    }
    if (rest.size() > 3 && rest[3] != ' ') return std::nullopt;
    return code;
}

HeadCollector::Event HeadCollector::feed(std::string_view line) {
    if (complete_) return Event::None;
    std::string_view content = strip_line_end(line);
    if (!started_ || content.substr(0, 5) == "HTTP/") {
        auto status = parse_status_line(content);
        if (!status) return Event::Malformed;
        reset();
        started_ = true;
        status_ = *status;
        // HTTP/2 and HTTP/3 have no status line on the wire; curl writes one
        // with a trailing blank where the reason would go, which is dropped.
        if (content.substr(0, 7) == "HTTP/2 " || content.substr(0, 7) == "HTTP/3 ") content = trim(content);
    } else if (content.empty()) {
        block_ += "\r\n";
        if (status_ >= 100 && status_ < 200 && status_ != 101) {
            reset();
            return Event::Informational;
        }
        complete_ = true;
        return Event::Complete;
    } else if (content.front() == ' ' || content.front() == '\t') {
        // An obsolete folded continuation belongs to the previous field.
        if (!fields_.empty()) {
            fields_.back().second += ' ';
            fields_.back().second += trim(content);
        }
    } else {
        const size_t colon = content.find(':');
        if (colon != std::string_view::npos) {
            fields_.emplace_back(std::string(content.substr(0, colon)),
                                 std::string(trim(content.substr(colon + 1))));
        }
    }
    block_.append(content);
    block_ += "\r\n";
    return Event::None;
}

std::optional<std::string> HeadCollector::header(std::string_view name) const {
    for (const auto& [n, v] : fields_) {
        if (iequals(trim(n), name)) return v;
    }
    return std::nullopt;
}

std::vector<std::string> HeadCollector::values(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : fields_) {
        if (iequals(trim(n), name)) out.push_back(v);
    }
    return out;
}

bool HeadCollector::chunked() const {
    for (const auto& [n, v] : fields_) {
        if (!iequals(trim(n), "Transfer-Encoding")) continue;
        std::string_view value = v;
        const size_t comma = value.rfind(',');
        if (comma != std::string_view::npos) value = value.substr(comma + 1);
        if (iequals(trim(value), "chunked")) return true;
    }
    return false;
}

void HeadCollector::reset() {
    block_.clear();
    fields_.clear();
    status_ = 0;
    started_ = false;
    complete_ = false;
}

}  // namespace halyard
