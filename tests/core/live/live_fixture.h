// Fixture of the live tests: the local servers and one engine per test.
#pragma once

#include <gtest/gtest.h>

#include "support/client.h"
#include "support/live_server.h"

namespace halyard_test {

class Live : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        servers_ = live_servers(&why);
        if (!servers_) HALYARD_LIVE_UNAVAILABLE(why);
        engine_ = make_engine();
        ASSERT_TRUE(engine_);
    }

    // A request that must complete within the bound.
    void run(const RequestOptions& o, Recorder& r) {
        run_request(engine_.get(), o, r);
        ASSERT_TRUE(r.complete()) << "request to " << o.url << " did not complete";
        EXPECT_EQ(r.complete_calls(), 1);
    }

    const LiveServers* servers_ = nullptr;
    EnginePtr engine_;
};

}  // namespace halyard_test
