// The pending flag of a PyRequest or PyWebSocket: true while a `notify` is
// scheduled on the loop and not yet answered by a poll.
#pragma once

#include <atomic>
#include <memory>

namespace vesper {

struct PendingFlag {
    std::atomic<bool> pending{false};
};

using PendingFlagRef = std::shared_ptr<PendingFlag>;

}  // namespace vesper
