// Every test process waits, after its last test, for the network threads
// of the engines it released to end (bounded).  A thread that outlived
// main would meet the process's exit halfway: static objects destroyed
// under it, and what it still holds (TLS contexts, connections) reported
// as lost by LeakSanitizer although its own end would have freed it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "loop/network_hub.h"

namespace halyard_test {
namespace {

class EngineThreadsEnd : public ::testing::Environment {
public:
    void TearDown() override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (halyard::running_engine_threads() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
};

[[maybe_unused]] ::testing::Environment* const g_engine_threads_end =
    ::testing::AddGlobalTestEnvironment(new EngineThreadsEnd);

}  // namespace
}  // namespace halyard_test
