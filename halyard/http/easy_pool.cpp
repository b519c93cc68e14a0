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
    // curl_easy_reset keeps the last socket error (CURLINFO_OS_ERRNO), and
    // the error table reads it: a handle that met one is not reused, or the
    // next transfer's failure would look like that one (a reset, say).
    long os_errno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_errno);
    if (kept_.size() >= kKept || os_errno != 0) {
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
