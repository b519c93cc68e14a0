// Live: a callback that throws inside curl's callbacks (as a module's could
// when memory runs out) ends only its own request, with the failure as a
// value; the engine and its network thread go on.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "live/live_fixture.h"

namespace halyard_test {
namespace {

void throw_bad_alloc_on_response(void*, hy_request*, int32_t, const uint8_t*, uint64_t) { throw std::bad_alloc(); }
void throw_other_on_response(void*, hy_request*, int32_t, const uint8_t*, uint64_t) {
    throw std::runtime_error("callback failed");
}
int32_t throw_bad_alloc_on_data(void*, hy_request*, const uint8_t*, uint64_t) { throw std::bad_alloc(); }
int32_t throw_other_on_data(void*, hy_request*, const uint8_t*, uint64_t) { throw std::logic_error("callback failed"); }

struct ThrowCase {
    const char* name;
    hy_on_response_fn on_response;
    hy_on_data_fn on_data;
    uint32_t result;
    int32_t net_error;
};
class LiveContainment : public Live, public ::testing::WithParamInterface<ThrowCase> {};

TEST_P(LiveContainment, AThrowingCallbackEndsItsRequestOnly) {
    const ThrowCase c = GetParam();
    for (int i = 0; i < 3; ++i) {
        Recorder r;
        run(RequestOptions{.url = http_url("/bytes/200000"), .on_response = c.on_response, .on_data = c.on_data}, r);
        EXPECT_EQ(r.result(), c.result);
        EXPECT_EQ(r.net_error(), c.net_error);
        // The same engine (and thread) still serves the next request whole.
        Recorder next;
        run({.url = http_url("/bytes/1000")}, next);
        EXPECT_EQ(next.result(), HY_OK);
        EXPECT_EQ(next.body(), pattern(1000));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, LiveContainment,
    ::testing::Values(ThrowCase{"response_out_of_memory", throw_bad_alloc_on_response, nullptr, HY_OUT_OF_MEMORY, -13},
                      ThrowCase{"response_other", throw_other_on_response, nullptr, HY_NETWORK, -2},
                      ThrowCase{"data_out_of_memory", nullptr, throw_bad_alloc_on_data, HY_OUT_OF_MEMORY, -13},
                      ThrowCase{"data_other", nullptr, throw_other_on_data, HY_NETWORK, -2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halyard_test
