// The `sec-ch-ua` brand list Chromium-based browsers send, per major
// version, as Chromium's user_agent_utils computes it.
#pragma once

#include <string>
#include <string_view>

namespace halyard {

// `brand` is the browser's own brand ("Google Chrome", "Microsoft Edge");
// `major` its major version.  The result is the header value, for example
// for 120: "Not_A Brand";v="8", "Chromium";v="120", "Google Chrome";v="120".
std::string sec_ch_ua(std::string_view brand, int major);

}  // namespace halyard
