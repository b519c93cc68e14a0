// Reused curl easy handles of one network hub's HTTP transfers.
//
// A new easy handle per hop costs an allocation of curl's whole transfer
// state and its release; in a run of small sequential GETs that was a
// tenth of the network thread's instructions.  A finished transfer's
// handle is reset (every option back to its default, no pointer into the
// request that used it left behind) and kept for the next hop.
// Connections belong to the multi handle, so reuse moves none of them.
// The cookie engine's file list is freed before the reset, which some
// libcurl releases would otherwise lose (see easy_pool.cpp).
// Network thread only.
#pragma once

#include <curl/curl.h>

#include <vector>

namespace halyard {

class EasyPool {
public:
    // Enough for a burst of finished transfers to be reused by the next.
    static constexpr size_t kKept = 16;

    EasyPool() = default;
    ~EasyPool() { clear(); }
    EasyPool(const EasyPool&) = delete;
    EasyPool& operator=(const EasyPool&) = delete;

    // A handle with default options; null when curl has no memory.
    CURL* take();
    // Takes a handle no multi holds any more.
    void give_back(CURL* easy);
    // Releases every kept handle (before the share they used goes).
    void clear();
    size_t kept() const { return kept_.size(); }

private:
    // Frees what curl_easy_reset would orphan (see easy_pool.cpp).
    static void drop_kept_lists(CURL* easy);
    std::vector<CURL*> kept_;
};

}  // namespace halyard
