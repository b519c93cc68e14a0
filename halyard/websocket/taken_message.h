// A received message's buffer handed to the caller (hy_websocket_take_message)
// instead of copied; hy_message_release frees it.
#pragma once

#include <cstdint>
#include <vector>

#include "halyard.h"

struct hy_message {
    std::vector<uint8_t> bytes;
};
