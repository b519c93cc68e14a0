#include "cache/http_cache.h"

#include "halyard.h"

namespace halyard {

size_t CachedResponse::charge() const {
    size_t vary_bytes = 0;
    for (const auto& [name, value] : vary) vary_bytes += name.size() + (value ? value->size() : 0);
    // The parsed head roughly doubles the head's bytes.
    return key.size() + 2 * head_block.size() + body.size() + vary_bytes;
}

CacheAction decide_cache_action(uint32_t mode, const CachedResponse* entry, Seconds now) {
    switch (mode) {
    case HY_CACHE_NO_STORE:
    case HY_CACHE_BYPASS:
        return CacheAction::Network;
    case HY_CACHE_FORCE:
        return entry ? CacheAction::Serve : CacheAction::Network;
    case HY_CACHE_ONLY_IF_CACHED:
        return entry ? CacheAction::Serve : CacheAction::Miss;
    default:
        break;
    }
    if (entry == nullptr) return CacheAction::Network;
    const bool validatable = !validation_headers(entry->head).empty();
    if (mode == HY_CACHE_VALIDATE) return validatable ? CacheAction::Validate : CacheAction::Network;
    // Default mode: fresh entries answer, others are validated when they can be.
    const CacheControl cc = parse_cache_control(entry->head.get("Cache-Control").value_or(""));
    const bool fresh =
        !cc.no_cache && freshness_lifetime(entry->head, entry->times) > current_age(entry->head, entry->times, now);
    if (fresh) return CacheAction::Serve;
    return validatable ? CacheAction::Validate : CacheAction::Network;
}

std::string cache_key(std::string_view url) {
    return std::string(url.substr(0, url.find('#')));
}

std::shared_ptr<const CachedResponse> HttpCache::lookup(const std::string& key, const HeaderList& request,
                                                        bool decoded) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    const auto& entry = it->second.entry;
    if (entry->decoded != decoded || !vary_matches(entry->vary, request)) return nullptr;
    recency_.splice(recency_.begin(), recency_, it->second.lru);
    return entry;
}

bool HttpCache::store(std::shared_ptr<const CachedResponse> entry) {
    const std::string key = entry->key;
    invalidate(key);
    const size_t charge = entry->charge();
    if (charge > entry_limit_ || charge > total_limit_) return false;
    evict_to(total_limit_ - charge);
    recency_.push_front(key);
    entries_.emplace(key, Slot{std::move(entry), recency_.begin()});
    total_ += charge;
    return true;
}

void HttpCache::invalidate(const std::string& key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return;
    total_ -= it->second.entry->charge();
    recency_.erase(it->second.lru);
    entries_.erase(it);
}

void HttpCache::evict_to(size_t limit) {
    while (total_ > limit && !recency_.empty()) {
        const std::string victim = recency_.back();  // a copy: invalidate erases it
        invalidate(victim);
    }
}

}  // namespace halyard
