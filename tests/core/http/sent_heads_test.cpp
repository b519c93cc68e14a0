// Sent heads: kept whole up to the bound, copied out in part or whole, and
// asked for only before start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "halyard.h"
#include "http/sent_heads.h"
#include "support/client.h"

namespace halyard {
namespace {

std::string copied(const SentHeads& heads, uint64_t capacity, uint64_t& total) {
    std::vector<uint8_t> buffer(capacity);
    total = heads.copy(buffer.data(), capacity);
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min(capacity, total)));
}

TEST(SentHeads, HeadsAreKeptInOrderAndCopiedInPart) {
    SentHeads heads;
    heads.append("GET /a HTTP/1.1\r\n\r\n");
    heads.append("GET /b HTTP/1.1\r\n\r\n");
    uint64_t total = 0;
    EXPECT_EQ(copied(heads, 0, total), "");
    EXPECT_EQ(total, 38u);
    EXPECT_EQ(copied(heads, 5, total), "GET /");
    EXPECT_EQ(total, 38u);
    EXPECT_EQ(copied(heads, 100, total), "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
}

TEST(SentHeads, AHeadPastTheBoundIsLeftOutWhole) {
    SentHeads heads;
    const std::string big(SentHeads::kLimit - 10, 'a');
    heads.append(big);
    heads.append(std::string(11, 'b'));   // would pass the bound by one
    heads.append(std::string(10, 'c'));   // fits exactly
    uint64_t total = 0;
    const std::string all = copied(heads, SentHeads::kLimit + 100, total);
    EXPECT_EQ(total, SentHeads::kLimit);
    EXPECT_EQ(all, big + std::string(10, 'c'));
}

TEST(SentHeadsInterface, RecordOnlyBeforeStartAndArgumentsChecked) {
    auto engine = halyard_test::make_engine();
    ASSERT_TRUE(engine);
    halyard_test::Recorder r;
    hy_request* request = halyard_test::make_request(engine.get(), {.url = "http://127.0.0.1:1/"}, &r);
    ASSERT_NE(request, nullptr);
    uint64_t len = 99;
    EXPECT_EQ(hy_request_record_sent_heads(nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_sent_heads(nullptr, nullptr, 0, &len), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_sent_heads(request, nullptr, 0, nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_sent_heads(request, nullptr, 4, &len), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_record_sent_heads(request), HY_OK);
    EXPECT_EQ(hy_request_sent_heads(request, nullptr, 0, &len), HY_OK);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(hy_request_start(request), HY_OK);
    EXPECT_EQ(hy_request_record_sent_heads(request), HY_INVALID_STATE);
    ASSERT_TRUE(r.wait_complete());
    hy_request_release(request);
}

TEST(SentHeadsInterface, CancelledBeforeStartRefusesTheRecord) {
    auto engine = halyard_test::make_engine();
    ASSERT_TRUE(engine);
    halyard_test::Recorder r;
    hy_request* request = halyard_test::make_request(engine.get(), {.url = "http://127.0.0.1:1/"}, &r);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(hy_request_cancel(request), HY_OK);
    EXPECT_EQ(hy_request_record_sent_heads(request), HY_INVALID_STATE);
    hy_request_release(request);
}

}  // namespace
}  // namespace halyard
