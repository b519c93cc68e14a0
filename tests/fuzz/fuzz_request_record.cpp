// A request record built from the input: method, URL, headers and body as
// length-prefixed fields.  Whatever read_request_config accepts must give
// header lines, a method and a URL that cannot end or add a line, and
// body framing headers that agree with the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "api/config.h"
#include "halyard.h"

namespace {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string field() {
        const size_t len = std::min<size_t>(byte(), size_ - pos_);
        std::string out(reinterpret_cast<const char*>(data_ + pos_), len);
        pos_ += len;
        return out;
    }
    bool done() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

void require(bool condition) {
    if (!condition) std::abort();
}

bool ends_no_line(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t flags = in.byte();
    const std::string method = in.field();
    const std::string url = in.field();
    const std::string body = in.field();
    std::vector<std::string> texts;
    while (!in.done() && texts.size() < 64) texts.push_back(in.field());
    std::vector<HeaderEntry> headers;
    for (size_t i = 0; i + 1 < texts.size(); i += 2)
        headers.push_back({texts[i].data(), texts[i].size(), texts[i + 1].data(), texts[i + 1].size()});

    RequestConfig c{};
    c.size = sizeof c;
    c.abi = HY_ABI_VERSION;
    c.url = url.data();
    c.url_len = url.size();
    c.method = method.data();
    c.method_len = method.size();
    c.headers = headers.empty() ? nullptr : headers.data();
    c.header_count = headers.size();
    c.callbacks.size = sizeof(RequestCallbacks);
    c.callbacks.abi = HY_ABI_VERSION;
    c.callbacks.on_response = [](void*, hy_request*, int32_t, const uint8_t*, uint64_t) {};
    c.callbacks.on_data = [](void*, hy_request*, const uint8_t*, uint64_t) -> int32_t { return 1; };
    c.callbacks.on_complete = [](void*, hy_request*, uint32_t, int32_t) {};
    c.callbacks.on_redirect = [](void*, hy_request*, int32_t, const uint8_t*, uint64_t, const char*, uint64_t,
                                 const char*, uint64_t) {};
    c.body_kind = flags % 3;
    if (c.body_kind == HY_BODY_BYTES && !body.empty()) {
        c.body = reinterpret_cast<const uint8_t*>(body.data());
        c.body_len = body.size();
    }

    halyard::RequestSpec spec;
    if (halyard::read_request_config(&c, spec) != HY_OK) return 0;
    require(halyard::is_token(spec.method));
    require(ends_no_line(spec.url) && spec.url.find(' ') == std::string::npos);
    const bool head = spec.method == "HEAD";
    int lengths = 0, codings = 0;
    for (const halyard::Header& h : spec.headers) {
        require(halyard::is_token(h.name) && ends_no_line(h.value));
        // No leading or trailing blank: curl would read "Name:  " as "drop this header".
        require(h.value.empty() || (h.value.front() != ' ' && h.value.back() != ' '));
        if (halyard::iequals(h.name, "Content-Length")) {
            ++lengths;
            require(spec.body_kind != HY_BODY_STREAM || head);
            require(h.value == std::to_string(head ? 0 : spec.body.size()) ||
                    std::stoull(h.value) == (head ? 0 : spec.body.size()));
        }
        if (halyard::iequals(h.name, "Transfer-Encoding")) {
            ++codings;
            require(spec.body_kind == HY_BODY_STREAM && !head);
        }
    }
    require(lengths <= 1 && codings <= 1 && lengths + codings <= 1);
    return 0;
}
