#include "profile/client_hints.h"

#include <array>

namespace halyard {
namespace {

// The six orders in which Chromium places {GREASE, Chromium, own brand}:
// entry o gives, for each of the three, the slot it takes.
constexpr std::array<std::array<int, 3>, 6> kOrders{{
    {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};

std::string entry(std::string_view brand, std::string_view version) {
    std::string out = "\"";
    out += brand;
    out += "\";v=\"";
    out += version;
    out += '"';
    return out;
}

std::string serialize(const std::array<std::string, 3>& slots) {
    return slots[0] + ", " + slots[1] + ", " + slots[2];
}

// Places the three brands by the order selected by `seed`.
std::string permuted(int seed, const std::string& grease, const std::string& chromium,
                     const std::string& own) {
    const auto& o = kOrders[static_cast<size_t>(seed % 6)];
    std::array<std::string, 3> slots;
    slots[static_cast<size_t>(o[0])] = grease;
    slots[static_cast<size_t>(o[1])] = chromium;
    slots[static_cast<size_t>(o[2])] = own;
    return serialize(slots);
}

}  // namespace

std::string sec_ch_ua(std::string_view brand, int major) {
    const std::string v = std::to_string(major);
    const std::string chromium = entry("Chromium", v);
    const std::string own = entry(brand, v);
    if (major <= 102) {
        // Recorded 98-101 (102 assumed): always the first order, whatever
        // the version.
        return serialize({entry(" Not A;Brand", "99"), chromium, own});
    }
    if (major == 103) {
        // Observed in published request dumps; the escaped characters are
        // not those of either algorithm.
        return serialize({entry(".Not/A)Brand", "99"), own, chromium});
    }
    if (major == 104) {
        // The earlier algorithm: escaped characters {" ", " ", ";"} placed
        // in the GREASE brand by the same order as the brands.
        static constexpr char kChars[] = {' ', ' ', ';'};
        const auto& o = kOrders[static_cast<size_t>(major % 6)];
        std::string grease;
        grease += kChars[o[0]];
        grease += "Not";
        grease += kChars[o[1]];
        grease += "A";
        grease += kChars[o[2]];
        grease += "Brand";
        return permuted(major, entry(grease, "99"), chromium, own);
    }
    // 105 onward: GREASE characters and version chosen by the major version.
    static constexpr std::string_view kChars[] = {" ", "(", ":", "-", ".", "/", ")", ";", "=", "?", "_"};
    static constexpr std::string_view kVersions[] = {"8", "99", "24"};
    std::string grease = "Not";
    grease += kChars[static_cast<size_t>(major % 11)];
    grease += "A";
    grease += kChars[static_cast<size_t>((major + 1) % 11)];
    grease += "Brand";
    return permuted(major, entry(grease, kVersions[static_cast<size_t>(major % 3)]), chromium, own);
}

}  // namespace halyard
