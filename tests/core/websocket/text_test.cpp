// UTF-8 validation of text messages, the close codes and reasons a caller
// may send, and the parsing of a peer's close frame.
#include <gtest/gtest.h>

#include <string>

#include "text/utf8.h"
#include "websocket/close.h"

namespace halyard {
namespace {

bool valid(const std::string& s) { return is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};
class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, Validates) { EXPECT_EQ(valid(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8,
    ::testing::Values(
        Utf8Case{"empty", "", true},
        Utf8Case{"ascii_long", std::string(100, 'a') + "end", true},
        Utf8Case{"two_byte", "caf\xC3\xA9", true},
        Utf8Case{"three_byte_after_ascii_run", "abcdefgh\xE2\x82\xAC", true},
        Utf8Case{"four_byte_max", "\xF4\x8F\xBF\xBF", true},
        Utf8Case{"high_bit_inside_word", "abc\xC3\xA9xyzw", true},
        Utf8Case{"overlong_two_byte", "\xC0\xAF", false},
        Utf8Case{"overlong_three_byte", "\xE0\x80\xAF", false},
        Utf8Case{"overlong_four_byte", "\xF0\x80\x80\xAF", false},
        Utf8Case{"surrogate", "\xED\xA0\x80", false},
        Utf8Case{"above_max", "\xF4\x90\x80\x80", false},
        Utf8Case{"f5_lead", "\xF5\x80\x80\x80", false},
        Utf8Case{"lone_continuation", "a\x80", false},
        Utf8Case{"truncated_at_end", "abc\xE2\x82", false},
        Utf8Case{"bad_continuation", "\xE2\x28\xA1", false},
        Utf8Case{"invalid_after_ascii_run", std::string(16, 'x') + "\xFF", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CloseRules, CallerCodes) {
    for (uint16_t code : {1000, 3000, 3999, 4000, 4999}) EXPECT_TRUE(is_caller_close_code(code)) << code;
    // Browsers refuse every code the protocol reserves for itself.
    for (uint16_t code : {0, 999, 1001, 1002, 1005, 1006, 1011, 2999, 5000, 65535})
        EXPECT_FALSE(is_caller_close_code(code)) << code;
}

TEST(CloseRules, CallerReasons) {
    const std::string longest(123, 'r');
    EXPECT_TRUE(is_caller_close_reason(nullptr, 0));
    EXPECT_TRUE(is_caller_close_reason(longest.data(), longest.size()));
    EXPECT_FALSE(is_caller_close_reason((longest + "r").data(), 124));
    EXPECT_FALSE(is_caller_close_reason(nullptr, 3));
    EXPECT_FALSE(is_caller_close_reason("\xC3(", 2));
    // The bound counts bytes, not characters.
    std::string accents;
    for (int i = 0; i < 61; ++i) accents += "\xC3\xA9";
    EXPECT_TRUE(is_caller_close_reason((accents + "a").data(), 123));
    EXPECT_FALSE(is_caller_close_reason((accents + "\xC3\xA9").data(), 124));
}

struct CloseCase {
    const char* name;
    std::string payload;
    bool ok;
    uint16_t code;
    std::string reason;
};
class ClosePayload : public ::testing::TestWithParam<CloseCase> {};

TEST_P(ClosePayload, Parses) {
    const CloseCase& c = GetParam();
    auto frame = parse_close_payload(reinterpret_cast<const uint8_t*>(c.payload.data()), c.payload.size());
    ASSERT_EQ(frame.has_value(), c.ok);
    if (!c.ok) return;
    EXPECT_EQ(frame->code, c.code);
    EXPECT_EQ(frame->reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClosePayload,
    ::testing::Values(
        CloseCase{"empty_means_no_status", "", true, 1005, ""},
        CloseCase{"code_only", std::string("\x03\xE8", 2), true, 1000, ""},
        CloseCase{"code_and_reason", std::string("\x0F\xA0") + "bye", true, 4000, "bye"},
        CloseCase{"utf8_reason", std::string("\x03\xE9") + "\xC3\xA9t\xC3\xA9", true, 1001, "\xC3\xA9t\xC3\xA9"},
        CloseCase{"one_byte", std::string("\x03", 1), false, 0, ""},
        CloseCase{"reserved_1005", std::string("\x03\xED", 2), false, 0, ""},
        CloseCase{"reserved_1006", std::string("\x03\xEE", 2), false, 0, ""},
        CloseCase{"below_1000", std::string("\x03\xE7", 2), false, 0, ""},
        CloseCase{"unassigned_2000", std::string("\x07\xD0", 2), false, 0, ""},
        CloseCase{"invalid_reason", std::string("\x03\xE8") + "\xFF", false, 0, ""},
        CloseCase{"reason_too_long", std::string("\x03\xE8") + std::string(124, 'x'), false, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halyard
