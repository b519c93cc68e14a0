// The end of a request as the module sees it: a result code and a network
// error number (net-errors numbering, 0 for none).
#pragma once

#include <cstdint>

#include "halyard.h"

namespace halyard {

struct Outcome {
    uint32_t result = HY_OK;
    int32_t net_error = 0;

    bool ok() const { return result == HY_OK; }
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

}  // namespace halyard
