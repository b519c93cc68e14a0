// Response head assembly as the header callback drives it: the input is
// split into lines at LF; each goes through the budget and the collector.
// The block must stay within the budget and keep its line structure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/head_block.h"
#include "http/response_limits.h"
#include "text/header.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    halyard::HeadCollector head;
    halyard::HeadBudget budget;
    size_t fed = 0;
    for (size_t pos = 0; pos < input.size();) {
        const size_t lf = input.find('\n', pos);
        const size_t end = lf == std::string_view::npos ? input.size() : lf + 1;
        const std::string_view line = input.substr(pos, end - pos);
        pos = end;
        fed += line.size();
        const auto verdict = budget.add(line.size(), halyard::is_field_line(line));
        // The byte limit holds exactly; past a refusal nothing is collected.
        require((verdict == halyard::HeadBudget::Verdict::TooBig) == (fed > halyard::kMaxHeadBytes));
        if (verdict != halyard::HeadBudget::Verdict::Ok) break;
        const auto event = head.feed(line);
        if (event == halyard::HeadCollector::Event::Informational || event == halyard::HeadCollector::Event::Complete)
            budget.restart_lines();
        if (event == halyard::HeadCollector::Event::Complete) {
            const std::string& block = head.block();
            require(block.size() >= 4 && block.compare(block.size() - 4, 4, "\r\n\r\n") == 0);
            require(block.rfind("HTTP/", 0) == 0);
            require(head.status() >= 0 && head.status() <= 999);
            // Every line ends in CRLF: a bare CR or LF never survives.
            for (size_t i = 0; i < block.size(); ++i) {
                if (block[i] == '\n') require(i > 0 && block[i - 1] == '\r');
            }
            (void)halyard::content_lengths_conflict(head.values("Content-Length"));
            (void)head.chunked();
            (void)head.header("Location");
            // The collector and the whole-head parser read the same fields.
            const halyard::ParsedHead parsed = halyard::parse_head(block);
            require(parsed.status == head.status());
            std::vector<std::string> lengths;
            for (const auto& [name, value] : parsed.fields)
                if (halyard::iequals(name, "Content-Length")) lengths.push_back(value);
            require(lengths == head.values("Content-Length"));
        }
    }
    require(head.block().size() <= 2 * halyard::kMaxHeadBytes);
    return 0;
}
