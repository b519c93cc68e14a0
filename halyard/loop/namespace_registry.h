// Profile namespaces: engines created with the same non-empty namespace
// share one network hub (cookie jar, HTTP cache, connection pool, TLS
// session cache) for as long as any user of that hub lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "loop/network_hub.h"

namespace halyard {

// The hub for a new engine, with one user taken for it.  An empty
// namespace always gets a hub of its own.  Null with `code` set:
// HY_PROFILE_CONFLICT when the namespace's live hub has another profile,
// HY_INITIALIZATION_FAILED when no hub could be made.
std::shared_ptr<NetworkHub> acquire_hub(const std::string& name, const std::string& profile, uint32_t& code);

}  // namespace halyard
