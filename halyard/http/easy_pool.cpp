#include "http/easy_pool.h"

namespace halyard {

void EasyPool::drop_kept_lists(CURL* easy) {
    // CURLOPT_COOKIEFILE appends to a list of files that curl owns.  Some
    // libcurl releases (7.88 among them) keep that list in the options and
    // curl_easy_reset forgets it without freeing it: one list node and
    // its copy of "" lost per reused handle, for ever.  Setting it to null
    // frees the list whatever the release keeps it in; it also detaches
    // the handle from the cookie jar, which the next transfer's
    // CURLOPT_SHARE (the hub's shared jar) and CURLOPT_COOKIEFILE put back.
    // Every other option the Core sets is either a string or blob curl
    // copies into its options (freed by the reset) or a list the request
    // owns and frees itself (its header lists).
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, static_cast<const char*>(nullptr));
}

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
    drop_kept_lists(easy);
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
