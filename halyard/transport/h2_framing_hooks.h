// A profile's HTTP/2 framing on the connections libcurl opens.
//
// libcurl starts every HTTP/2 connection with its own SETTINGS, connection
// window and pseudo-header order, and has no option for any of them.  It
// makes them through four nghttp2 functions (submit_settings,
// session_set_local_window_size, submit_request, submit_priority), which
// the Core defines too: libhalyard
// comes before libnghttp2 in the order the dynamic linker searches for
// libcurl's symbols, so libcurl's calls reach the Core's definitions, and
// each passes the call on to nghttp2 itself (dlsym RTLD_NEXT).  On a
// network thread whose hub has a profile, the call carries the profile's
// values; on any other thread it goes through unchanged.
#pragma once

#include "profile/h2_framing.h"

namespace halyard {

// The framing the calls made on this thread carry from now on; null for
// libcurl's own.  Each hub's thread sets its profile's once, at its start;
// `framing` must outlive the thread's use of it.
void use_h2_framing_on_this_thread(const H2Framing* framing);

}  // namespace halyard
