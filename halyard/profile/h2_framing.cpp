#include "profile/h2_framing.h"

#include <charconv>

namespace halyard {
namespace {

constexpr uint32_t kDefaultWindow = 65535;
constexpr int32_t kInitialWindowSize = 4;

// The text before the next `sep` (all of it when there is none); `text`
// keeps what follows the separator.
std::string_view take(std::string_view& text, char sep) {
    const size_t at = text.find(sep);
    std::string_view field = text.substr(0, at);
    text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
    return field;
}

template <typename T>
bool number(std::string_view text, T& out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

uint32_t H2Framing::initial_window() const {
    for (size_t i = 0; i < setting_count; ++i) {
        if (settings[i].id == kInitialWindowSize) return settings[i].value;
    }
    return kDefaultWindow;
}

std::string H2Framing::akamai() const {
    std::string out;
    for (size_t i = 0; i < setting_count; ++i) {
        if (i > 0) out += ';';
        out += std::to_string(settings[i].id) + ':' + std::to_string(settings[i].value);
    }
    out += '|' + std::to_string(connection_window_increment) + "|0|";
    for (size_t i = 0; i < pseudo_order.size(); ++i) {
        if (i > 0) out += ',';
        out += pseudo_order[i];
    }
    return out;
}

std::optional<H2Framing> parse_h2_framing(std::string_view akamai) {
    H2Framing f;
    std::string_view settings = take(akamai, '|');
    std::string_view window = take(akamai, '|');
    std::string_view priorities = take(akamai, '|');
    std::string_view pseudo = akamai;
    while (!settings.empty()) {
        if (f.setting_count == f.settings.size()) return std::nullopt;
        std::string_view entry = take(settings, ';');
        std::string_view id = take(entry, ':');
        H2Setting& s = f.settings[f.setting_count++];
        if (!number(id, s.id) || !number(entry, s.value)) return std::nullopt;
    }
    if (!number(window, f.connection_window_increment) || priorities != "0") return std::nullopt;
    std::string seen;
    for (size_t i = 0; i < f.pseudo_order.size(); ++i) {
        std::string_view letter = take(pseudo, ',');
        if (letter.size() != 1 || std::string_view("masp").find(letter[0]) == std::string_view::npos ||
            seen.find(letter[0]) != std::string::npos)
            return std::nullopt;
        f.pseudo_order[i] = letter[0];
        seen += letter[0];
    }
    if (!pseudo.empty()) return std::nullopt;
    return f;
}

const H2Framing& plain_h2_framing() {
    static const H2Framing framing = parse_h2_framing("3:100;4:33554432;2:0|33488897|0|m,p,s,a").value_or(H2Framing{});
    return framing;
}

}  // namespace halyard
