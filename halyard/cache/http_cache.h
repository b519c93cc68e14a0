// The in-memory HTTP cache of a network hub (one per engine, or one per
// profile namespace), used by its network thread only.
//
// One entry per URL (fragment dropped), holding the final response's head
// block and body exactly as they were delivered.  Bounded: an entry whose
// head and body exceed the entry limit is not stored, and storing beyond
// the total limit evicts the least recently used entries first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "cache/cache_policy.h"

namespace halyard {

struct CachedResponse {
    std::string key;
    ParsedHead head;          // parsed from head_block
    std::string head_block;   // what on_response delivers
    std::string body;         // what on_data delivers
    VaryValues vary;
    bool decoded = false;     // the Core decoded the body (it chose Accept-Encoding)
    StoredTimes times;

    size_t charge() const;    // bytes counted against the limits
};

// What a request does with the cache for its mode and the entry found.
enum class CacheAction {
    Network,    // go to the network (and store the answer unless no_store)
    Serve,      // answer from the entry
    Validate,   // send a conditional request for the entry
    Miss,       // only_if_cached without an entry: fail
};

// `entry` is the matching entry or null; `now` in seconds since the epoch.
CacheAction decide_cache_action(uint32_t mode, const CachedResponse* entry, Seconds now);

// The cache key of a URL: the URL without its fragment.
std::string cache_key(std::string_view url);

class HttpCache {
public:
    static constexpr size_t kTotalLimit = 32u * 1024 * 1024;
    static constexpr size_t kEntryLimit = 4u * 1024 * 1024;

    explicit HttpCache(size_t total_limit = kTotalLimit, size_t entry_limit = kEntryLimit)
        : total_limit_(total_limit), entry_limit_(entry_limit) {}

    // The entry for `key` when it was stored for a request like this one
    // (Vary, and decoded or raw body alike); marks it recently used.
    std::shared_ptr<const CachedResponse> lookup(const std::string& key, const HeaderList& request, bool decoded);

    // Stores (replacing the key's entry); false when it is over the entry
    // limit, in which case any old entry of the key is dropped as well.
    bool store(std::shared_ptr<const CachedResponse> entry);
    void invalidate(const std::string& key);

    size_t entry_limit() const { return entry_limit_; }
    size_t total_size() const { return total_; }
    size_t entry_count() const { return entries_.size(); }

private:
    struct Slot {
        std::shared_ptr<const CachedResponse> entry;
        std::list<std::string>::iterator lru;   // position in recency_
    };
    void evict_to(size_t limit);

    const size_t total_limit_;
    const size_t entry_limit_;
    size_t total_ = 0;
    std::list<std::string> recency_;   // most recently used first
    std::unordered_map<std::string, Slot> entries_;
};

}  // namespace halyard
