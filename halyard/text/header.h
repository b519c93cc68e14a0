// Request header lines as the caller gave them, and name matching.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halyard {

struct Header {
    std::string name;
    std::string value;
    friend bool operator==(const Header&, const Header&) = default;
};

using HeaderList = std::vector<Header>;

// ASCII case-insensitive comparison (header names, schemes).
bool iequals(std::string_view a, std::string_view b);

bool has_header(const HeaderList& headers, std::string_view name);

// `text` without the spaces and tabs around it: what does not count around
// a field name, a field value or a list item.
std::string_view trim(std::string_view text);

}  // namespace halyard
