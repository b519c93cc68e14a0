// Bounds on hostile responses: head size and line count, conflicting
// lengths, decompression bombs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/response_limits.h"

namespace halyard {
namespace {

using Verdict = HeadBudget::Verdict;

TEST(HeadBudget, BytesAddUpOverTheHopUpTo256KiB) {
    HeadBudget budget;
    const size_t line = 1024;
    for (size_t i = 0; i < kMaxHeadBytes / line; ++i) {
        ASSERT_EQ(budget.add(line, false), Verdict::Ok) << i;
        budget.restart_lines();  // a new head does not reset the byte count
    }
    EXPECT_EQ(budget.add(1, false), Verdict::TooBig);
    budget.reset();
    EXPECT_EQ(budget.add(kMaxHeadBytes, false), Verdict::Ok);
    EXPECT_EQ(budget.add(1, true), Verdict::TooBig);
}

TEST(HeadBudget, FieldLinesPerHeadUpTo100) {
    HeadBudget budget;
    for (int head = 0; head < 3; ++head) {
        EXPECT_EQ(budget.add(17, false), Verdict::Ok);  // status line
        for (int i = 0; i < kMaxHeaderLines; ++i) ASSERT_EQ(budget.add(10, true), Verdict::Ok) << head << " " << i;
        EXPECT_EQ(budget.add(2, false), Verdict::Ok);  // empty line
        budget.restart_lines();
    }
    for (int i = 0; i < kMaxHeaderLines; ++i) ASSERT_EQ(budget.add(10, true), Verdict::Ok);
    EXPECT_EQ(budget.add(10, true), Verdict::TooManyLines);
}

TEST(HeadLines, FieldLinesAreNeitherStatusNorEmpty) {
    struct Case {
        const char* line;
        bool field;
    };
    const Case cases[] = {{"X-A: 1\r\n", true},  {"x:\n", true},          {" folded\r\n", true},
                          {"HTTP/1.1 200 OK\r\n", false}, {"HTTP/2 200 \r\n", false}, {"\r\n", false},
                          {"\n", false},         {"", false}};
    for (const Case& c : cases) EXPECT_EQ(is_field_line(c.line), c.field) << c.line;
}

TEST(ContentLength, ConflictWhenTwoLengthsAreNamed) {
    struct Case {
        std::vector<std::string> values;
        bool conflict;
    };
    const Case cases[] = {
        {{}, false},           {{"5"}, false},        {{"5", "5"}, false},    {{"5, 5"}, false},
        {{"5,5", " 5"}, false}, {{"5", "7"}, true},    {{"5, 7"}, true},       {{"5", "5", "6"}, true},
        {{"05", "5"}, true},   {{"5", ""}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(content_lengths_conflict(c.values), c.conflict) << ::testing::PrintToString(c.values);
    }
}

// Feeds a body the way curl hands it over: each received block is counted
// first, then its decoded output arrives in 16 KiB pieces.  Returns the
// decoded size at which the guard fired, or 0.
uint64_t stream(uint64_t ratio, uint64_t block, uint64_t total_decoded) {
    DecodeGuard guard;
    uint64_t received = 0, decoded = 0;
    constexpr uint64_t kPiece = 16 * 1024;
    while (decoded < total_decoded) {
        received += block;
        for (uint64_t left = block * ratio; left > 0 && decoded < total_decoded;) {
            const uint64_t piece = std::min(left, kPiece);
            left -= piece;
            decoded += piece;
            if (guard.exceeded(received, piece)) return decoded;
        }
    }
    return 0;
}

TEST(DecodeGuard, StopsABombSoonAfter64MiB) {
    constexpr uint64_t MiB = 1024 * 1024;
    // gzip of zeros expands about 1030 times: stopped within one block of
    // output after the floor.
    const uint64_t fired = stream(1030, 16 * 1024, 1024 * MiB);
    EXPECT_GT(fired, kExpansionFloor);
    EXPECT_LT(fired, kExpansionFloor + 20 * MiB);
    // A stacked encoding expands far more per block: stopped in the first
    // block that passes the floor.
    const uint64_t stacked = stream(1'000'000, 16 * 1024, 64 * 1024 * MiB);
    EXPECT_GT(stacked, kExpansionFloor);
    EXPECT_LE(stacked, kExpansionFloor + 16 * 1024);
}

TEST(DecodeGuard, LeavesOrdinaryBodiesAlone) {
    constexpr uint64_t MiB = 1024 * 1024;
    EXPECT_EQ(stream(1000, 16 * 1024, 512 * MiB), 0u);  // exactly 1000 times is allowed
    EXPECT_EQ(stream(10, 16 * 1024, 256 * MiB), 0u);
    // Any ratio below the floor.
    DecodeGuard guard;
    EXPECT_FALSE(guard.exceeded(1, kExpansionFloor));
    EXPECT_TRUE(guard.exceeded(1, 1));
}

}  // namespace
}  // namespace halyard
