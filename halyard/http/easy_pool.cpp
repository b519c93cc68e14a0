#include "http/easy_pool.h"

namespace halyard {

CURL* EasyPool::take() {
    if (kept_.empty()) return curl_easy_init();
    CURL* easy = kept_.back();
    kept_.pop_back();
    return easy;
}

void EasyPool::give_back(CURL* easy) {
    if (easy == nullptr) return;
    if (kept_.size() >= kKept) {
        curl_easy_cleanup(easy);
        return;
    }
    // Reset now rather than at the next take: the options point into the
    // request that is about to go (its error buffer, header list, body).
    curl_easy_reset(easy);
    try {
        kept_.push_back(easy);
    } catch (...) {
        curl_easy_cleanup(easy);
    }
}

void EasyPool::clear() {
    for (CURL* easy : kept_) curl_easy_cleanup(easy);
    kept_.clear();
}

}  // namespace halyard
