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

FieldLine add_field_line(HeadFields& fields, std::string_view line) {
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !fields.empty()) {
        fields.back().second += ' ';
        fields.back().second += trim(line);
        return FieldLine::Folded;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return FieldLine::Malformed;
    const std::string_view name = trim(line.substr(0, colon));
    if (name.empty()) return FieldLine::Malformed;
    fields.emplace_back(std::string(name), std::string(trim(line.substr(colon + 1))));
    return FieldLine::Field;
}

std::optional<std::string> ParsedHead::get(std::string_view name) const {
    std::optional<std::string> out;
    for (const auto& [n, v] : fields) {
        if (!iequals(n, name)) continue;
        if (out) *out += ", ";
        else out.emplace();
        *out += v;
    }
    return out;
}

std::string ParsedHead::block() const {
    std::string out = status_line + "\r\n";
    for (const auto& [n, v] : fields) out += n + ": " + v + "\r\n";
    out += "\r\n";
    return out;
}

ParsedHead parse_head(std::string_view block) {
    ParsedHead head;
    bool first = true;
    while (!block.empty()) {
        const size_t nl = block.find('\n');
        const std::string_view line = strip_line_end(block.substr(0, nl));
        block = nl == std::string_view::npos ? std::string_view() : block.substr(nl + 1);
        if (first) {
            head.status_line = std::string(line);
            head.status = parse_status_line(line).value_or(0);
            first = false;
            continue;
        }
        if (line.empty()) break;
        switch (add_field_line(head.fields, line)) {
        case FieldLine::Field: break;
        case FieldLine::Folded: head.folded = true; break;
        case FieldLine::Malformed: head.malformed = true; break;
        }
    }
    return head;
}

HeadCollector::Event HeadCollector::feed(std::string_view line) {
    if (complete_) return Event::None;
    std::string_view content = strip_line_end(line);
    if (!started_ || content.substr(0, 5) == "HTTP/") {
        auto status = parse_status_line(content);
        if (!status) return Event::Malformed;
        reset();
        if (fields_.capacity() == 0) {
            // Room for a usual head at once rather than growing line by line.
            fields_.reserve(16);
            block_.reserve(1024);
        }
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
    } else {
        add_field_line(fields_, content);
    }
    block_.append(content);
    block_ += "\r\n";
    return Event::None;
}

std::optional<std::string> HeadCollector::header(std::string_view name) const {
    for (const auto& [n, v] : fields_) {
        if (iequals(n, name)) return v;
    }
    return std::nullopt;
}

std::vector<std::string> HeadCollector::values(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : fields_) {
        if (iequals(n, name)) out.push_back(v);
    }
    return out;
}

bool HeadCollector::chunked() const {
    for (const auto& [n, v] : fields_) {
        if (!iequals(n, "Transfer-Encoding")) continue;
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
