// permessage-deflate: the server's answer to the offer, and messages
// through the compressor and decompressor with the negotiated settings.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "halyard.h"
#include "websocket/deflate.h"

namespace halyard {
namespace {

struct AnswerCase {
    const char* name;
    const char* value;
    bool ok;
    std::optional<DeflateParams> params;
};
class ExtensionAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ExtensionAnswers, Parse) {
    const AnswerCase& c = GetParam();
    const ExtensionAnswer got = parse_extension_answer(c.value);
    EXPECT_EQ(got.ok, c.ok) << got.error;
    if (c.ok) {
        EXPECT_EQ(got.deflate, c.params);
    } else {
        EXPECT_FALSE(got.error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtensionAnswers,
    ::testing::Values(
        AnswerCase{"none", "", true, std::nullopt},
        AnswerCase{"plain", "permessage-deflate", true, DeflateParams{}},
        AnswerCase{"all_params", "permessage-deflate; server_no_context_takeover; client_no_context_takeover; server_max_window_bits=10; client_max_window_bits=9",
                   true, DeflateParams{true, true, 10, 9}},
        AnswerCase{"quoted_and_cased", "Permessage-Deflate;Server_Max_Window_Bits=\"12\"", true, DeflateParams{false, false, 12, 15}},
        AnswerCase{"window_8", "permessage-deflate; client_max_window_bits=8", true, DeflateParams{false, false, 15, 8}},
        AnswerCase{"other_extension", "x-webkit-deflate-frame", false, std::nullopt},
        AnswerCase{"twice", "permessage-deflate, permessage-deflate", false, std::nullopt},
        AnswerCase{"unknown_param", "permessage-deflate; mystery", false, std::nullopt},
        AnswerCase{"repeated_param", "permessage-deflate; server_no_context_takeover; server_no_context_takeover", false, std::nullopt},
        AnswerCase{"window_too_small", "permessage-deflate; server_max_window_bits=7", false, std::nullopt},
        AnswerCase{"window_too_large", "permessage-deflate; server_max_window_bits=16", false, std::nullopt},
        AnswerCase{"window_leading_zero", "permessage-deflate; server_max_window_bits=010", false, std::nullopt},
        AnswerCase{"client_window_without_value", "permessage-deflate; client_max_window_bits", false, std::nullopt},
        AnswerCase{"takeover_with_value", "permessage-deflate; client_no_context_takeover=1", false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// RFC 7692 7.2.3.1 and 7.2.3.2: "Hello" compressed, and the same message a
// second time with the window shared.
TEST(Inflater, ReadsTheExamplesOfTheExtension) {
    Inflater inflater;
    ASSERT_TRUE(inflater.init(false));
    std::vector<uint8_t> out;
    const uint8_t first[] = {0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00};
    ASSERT_EQ(inflater.decompress(first, sizeof first, 1 << 20, out), Inflater::Result::Ok);
    EXPECT_EQ(out, bytes("Hello"));
    const uint8_t second[] = {0xf2, 0x00, 0x11, 0x00, 0x00};
    ASSERT_EQ(inflater.decompress(second, sizeof second, 1 << 20, out), Inflater::Result::Ok);
    EXPECT_EQ(out, bytes("Hello"));
    // A stored (uncompressed) block.
    const uint8_t stored[] = {0x00, 0x05, 0x00, 0xfa, 0xff, 0x48, 0x65, 0x6c, 0x6c, 0x6f, 0x00};
    ASSERT_EQ(inflater.decompress(stored, sizeof stored, 1 << 20, out), Inflater::Result::Ok);
    EXPECT_EQ(out, bytes("Hello"));
}

struct RoundTrip {
    int window_bits;
    bool no_takeover;
};
class DeflateRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(DeflateRoundTrip, MessagesSurviveInOrder) {
    const RoundTrip p = GetParam();
    Deflater deflater;
    Inflater inflater;
    ASSERT_TRUE(deflater.init(p.window_bits, p.no_takeover));
    ASSERT_TRUE(inflater.init(p.no_takeover));
    std::mt19937 rng(7);
    // Empty messages in a row too: a second flush with no input writes
    // nothing, which must still make a valid message.
    std::vector<std::vector<uint8_t>> messages = {{}, {}, bytes("a"), {}, bytes(std::string(5000, 'z'))};
    std::vector<uint8_t> random(300000);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    messages.push_back(random);
    for (int i = 0; i < 20; ++i) messages.push_back(bytes("repeated text " + std::to_string(i % 3)));
    size_t compressed_total = 0;
    for (const auto& message : messages) {
        std::vector<uint8_t> wire, back;
        ASSERT_TRUE(deflater.compress(message.data(), message.size(), wire));
        compressed_total += wire.size();
        ASSERT_EQ(inflater.decompress(wire.data(), wire.size(), 1 << 20, back), Inflater::Result::Ok);
        EXPECT_EQ(back, message);
    }
    EXPECT_LT(compressed_total, 300000u + 6000u);
}

INSTANTIATE_TEST_SUITE_P(Settings, DeflateRoundTrip,
                         ::testing::Values(RoundTrip{15, false}, RoundTrip{15, true}, RoundTrip{9, false},
                                           RoundTrip{12, true}));

TEST(Deflater, ContextTakeoverShrinksRepeats) {
    // With the window kept, a repeated message is a back-reference; without
    // it, each message is compressed alone.
    const std::string text = "a sentence long enough to be worth a back-reference, said twice";
    auto second_size = [&](bool no_takeover) {
        Deflater d;
        EXPECT_TRUE(d.init(15, no_takeover));
        std::vector<uint8_t> wire;
        d.compress(reinterpret_cast<const uint8_t*>(text.data()), text.size(), wire);
        d.compress(reinterpret_cast<const uint8_t*>(text.data()), text.size(), wire);
        return wire.size();
    };
    EXPECT_LT(second_size(false) * 3, second_size(true));
}

TEST(Deflater, RefusesWindowsZlibCannotMake) {
    Deflater d;
    EXPECT_FALSE(d.init(8, false));
    EXPECT_FALSE(d.init(16, false));
}

TEST(Inflater, StopsAtTheBound) {
    Deflater deflater;
    Inflater inflater;
    ASSERT_TRUE(deflater.init(15, false));
    ASSERT_TRUE(inflater.init(false));
    const std::vector<uint8_t> zeros(1 << 20, 0);
    std::vector<uint8_t> wire, out;
    ASSERT_TRUE(deflater.compress(zeros.data(), zeros.size(), wire));
    EXPECT_LT(wire.size(), 5000u);
    EXPECT_EQ(inflater.decompress(wire.data(), wire.size(), (1 << 20) - 1, out), Inflater::Result::TooBig);
    EXPECT_LT(out.capacity(), size_t{1} << 21);
    Inflater exact;
    ASSERT_TRUE(exact.init(false));
    EXPECT_EQ(exact.decompress(wire.data(), wire.size(), 1 << 20, out), Inflater::Result::Ok);
    EXPECT_EQ(out.size(), size_t{1} << 20);
}

TEST(Inflater, RefusesGarbage) {
    Inflater inflater;
    ASSERT_TRUE(inflater.init(false));
    const uint8_t garbage[] = {0xff, 0xff, 0xff, 0xff, 0x12};
    std::vector<uint8_t> out;
    EXPECT_EQ(inflater.decompress(garbage, sizeof garbage, 1 << 20, out), Inflater::Result::Corrupt);
}

struct OfferCase {
    const char* name;
    uint32_t flags;
    uint32_t client_bits;
    uint32_t server_bits;
    const char* header;  // nullptr: refused
};
class DeflateOffers : public ::testing::TestWithParam<OfferCase> {};

TEST_P(DeflateOffers, ArgumentsToTheOfferedHeader) {
    const OfferCase& c = GetParam();
    auto offer = make_deflate_offer(c.flags, c.client_bits, c.server_bits);
    if (c.header == nullptr) {
        EXPECT_FALSE(offer) << offer->header();
        return;
    }
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->header(), c.header);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DeflateOffers,
    ::testing::Values(
        OfferCase{"browser", 0, 0, 0, "permessage-deflate; client_max_window_bits"},
        OfferCase{"off", HY_DEFLATE_OFF, 0, 0, ""},
        OfferCase{"client_no_takeover", HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER, 0, 0,
                  "permessage-deflate; client_no_context_takeover; client_max_window_bits"},
        OfferCase{"everything", HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER | HY_DEFLATE_SERVER_NO_CONTEXT_TAKEOVER, 9, 8,
                  "permessage-deflate; client_no_context_takeover; server_no_context_takeover; "
                  "server_max_window_bits=8; client_max_window_bits=9"},
        OfferCase{"bits_15", 0, 15, 15, "permessage-deflate; server_max_window_bits=15; client_max_window_bits=15"},
        OfferCase{"client_bits_7", 0, 7, 0, nullptr},
        OfferCase{"server_bits_16", 0, 0, 16, nullptr},
        OfferCase{"off_with_bits", HY_DEFLATE_OFF, 10, 0, nullptr},
        OfferCase{"off_with_flag", HY_DEFLATE_OFF | HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER, 0, 0, nullptr},
        OfferCase{"unknown_flag", 8, 0, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeflateOffers, TheDefaultIsTheBrowserOffer) { EXPECT_EQ(DeflateOffer{}.header(), kDeflateOffer); }

struct SettleCase {
    const char* name;
    DeflateOffer offer;
    DeflateParams answer;
    DeflateParams held;
};
class DeflateSettle : public ::testing::TestWithParam<SettleCase> {};

TEST_P(DeflateSettle, WhatTheClientOfferedForItselfBindsIt) {
    EXPECT_EQ(GetParam().offer.settle(GetParam().answer), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeflateSettle,
    ::testing::Values(
        SettleCase{"browser_offer_keeps_answer", {}, {true, false, 12, 11}, {true, false, 12, 11}},
        SettleCase{"no_takeover_though_not_answered", {.client_no_context_takeover = true}, {}, {false, true, 15, 15}},
        SettleCase{"client_window_from_offer", {.client_max_window_bits = 10}, {}, {false, false, 15, 10}},
        SettleCase{"smaller_answer_wins", {.client_max_window_bits = 10}, {false, false, 15, 9}, {false, false, 15, 9}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halyard
