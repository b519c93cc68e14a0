#include "transport/h2_framing_hooks.h"

#include <dlfcn.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#define HALYARD_HOOK extern "C" __attribute__((visibility("default")))

namespace halyard {
namespace {

thread_local const H2Framing* t_framing = nullptr;

// nghttp2's own definition of `name`: the next one after the Core's in the
// dynamic linker's search order.
template <typename Fn>
Fn next_definition(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Declares `next`, nghttp2's `name`; a hook returns NGHTTP2_ERR_FATAL
// in the impossible case that libnghttp2 is not loaded after the Core.
#define HALYARD_NEXT(name)                                                   \
    static const auto next = halyard::next_definition<decltype(&::name)>(#name); \
    if (next == nullptr) return NGHTTP2_ERR_FATAL

// The four request pseudo-headers as libcurl writes them, ahead of the
// regular fields.
int pseudo_index(const nghttp2_nv& nv) {
    const std::string_view name(reinterpret_cast<const char*>(nv.name), nv.namelen);
    if (name == ":method") return 0;
    if (name == ":authority") return 1;
    if (name == ":scheme") return 2;
    if (name == ":path") return 3;
    return -1;
}

int letter_index(char letter) {
    switch (letter) {
    case 'm': return 0;
    case 'a': return 1;
    case 's': return 2;
    default: return 3;  // 'p'
    }
}

// `nva` with its leading pseudo-headers in the framing's order, into
// `out`; false (and `out` untouched) unless the list starts with each of
// the four exactly once.
bool reorder_pseudo_headers(const H2Framing& f, const nghttp2_nv* nva, size_t nvlen, std::vector<nghttp2_nv>& out) {
    if (nvlen < 4) return false;
    std::array<const nghttp2_nv*, 4> found{};
    for (size_t i = 0; i < 4; ++i) {
        const int k = pseudo_index(nva[i]);
        if (k < 0 || found[k] != nullptr) return false;
        found[k] = &nva[i];
    }
    out.reserve(nvlen);
    for (char letter : f.pseudo_order) out.push_back(*found[letter_index(letter)]);
    out.insert(out.end(), nva + 4, nva + nvlen);
    return true;
}

}  // namespace

void use_h2_framing_on_this_thread(const H2Framing* framing) { t_framing = framing; }

}  // namespace halyard

using halyard::t_framing;

// libcurl's SETTINGS (3:100;4:33554432;2:0) become the profile's.
HALYARD_HOOK int nghttp2_submit_settings(nghttp2_session* session, uint8_t flags, const nghttp2_settings_entry* iv,
                                         size_t niv) {
    HALYARD_NEXT(nghttp2_submit_settings);
    if (t_framing == nullptr || t_framing->setting_count == 0) return next(session, flags, iv, niv);
    std::array<nghttp2_settings_entry, 8> entries{};
    const size_t count = t_framing->setting_count;
    for (size_t i = 0; i < count; ++i) entries[i] = {t_framing->settings[i].id, t_framing->settings[i].value};
    const int rc = next(session, flags, entries.data(), count);
    // Settings nghttp2 refuses must not cost the connection: curl's then.
    return rc == 0 ? rc : next(session, flags, iv, niv);
}

// The connection window (libcurl: 32 MiB) becomes the profile's; a stream
// window libcurl restores after a pause is held to the one the SETTINGS
// announced, which is what a browser's streams get.
HALYARD_HOOK int nghttp2_session_set_local_window_size(nghttp2_session* session, uint8_t flags, int32_t stream_id,
                                                       int32_t window_size) {
    HALYARD_NEXT(nghttp2_session_set_local_window_size);
    if (t_framing != nullptr && window_size > 0) {
        constexpr int64_t kDefaultWindow = 65535;
        const int64_t wanted = stream_id == 0 ? kDefaultWindow + t_framing->connection_window_increment
                                              : std::min<int64_t>(window_size, t_framing->initial_window());
        window_size = static_cast<int32_t>(std::min<int64_t>(wanted, NGHTTP2_MAX_WINDOW_SIZE));
    }
    return next(session, flags, stream_id, window_size);
}

// The pseudo-headers in the profile's order; everything else as given.
HALYARD_HOOK int32_t nghttp2_submit_request(nghttp2_session* session, const nghttp2_priority_spec* pri_spec,
                                            const nghttp2_nv* nva, size_t nvlen, const nghttp2_data_provider* data_prd,
                                            void* stream_user_data) {
    HALYARD_NEXT(nghttp2_submit_request);
    if (t_framing != nullptr) {
        try {
            std::vector<nghttp2_nv> ordered;
            if (halyard::reorder_pseudo_headers(*t_framing, nva, nvlen, ordered))
                return next(session, pri_spec, ordered.data(), ordered.size(), data_prd, stream_user_data);
        } catch (...) {
            // Out of memory for the copy: the request goes out in curl's order.
        }
    }
    return next(session, pri_spec, nva, nvlen, data_prd, stream_user_data);
}

// No browser sends PRIORITY frames: under a profile the HEADERS frame
// carries the stream's priority and this one is left out (without a
// profile, libcurl's are sent).
HALYARD_HOOK int nghttp2_submit_priority(nghttp2_session* session, uint8_t flags, int32_t stream_id,
                                         const nghttp2_priority_spec* pri_spec) {
    HALYARD_NEXT(nghttp2_submit_priority);
    if (t_framing != nullptr && t_framing != &halyard::plain_h2_framing()) return 0;
    return next(session, flags, stream_id, pri_spec);
}
