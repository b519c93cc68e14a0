// The engine's cookie jar (its hub's, shared by a profile namespace) read
// and changed from any thread: the work runs on the network thread, the
// only one that may touch the curl share, and the caller waits for it.
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "loop/clock.h"
#include "loop/engine.h"
#include "websocket/cookies.h"

namespace halyard {

namespace {

struct JarCall {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    uint32_t code = HY_OK;
    std::string lines;
};

// Whether a jar line's expiry (its fifth field; 0 for a session cookie)
// has passed: curl keeps such a cookie until its next store, but never
// sends it, so it is not listed.
bool expired(const std::string& line, int64_t now) {
    size_t field = 0;
    for (int tab = 0; tab < 4; ++tab) {
        field = line.find('\t', field);
        if (field == std::string::npos) return false;
        ++field;
    }
    const long long expires = std::strtoll(line.c_str() + field, nullptr, 10);
    return expires != 0 && expires <= now;
}

// On the network thread: applies `command` (a jar line, or "ALL") and
// lists the jar, one '\n'-ended line per live cookie.
uint32_t run_jar_call(NetworkHub& hub, const std::string& command, std::string& lines) {
    CURL* jar = hub.jar_easy();
    if (jar == nullptr) return HY_OUT_OF_MEMORY;
    if (!command.empty() && curl_easy_setopt(jar, CURLOPT_COOKIELIST, command.c_str()) != CURLE_OK)
        return HY_INVALID_ARGUMENT;
    const int64_t now = now_seconds();
    for (const std::string& line : jar_lines(jar)) {
        if (!expired(line, now)) lines.append(line).push_back('\n');
    }
    return HY_OK;
}

}  // namespace

uint32_t Engine::cookies(std::string_view command, std::string& lines) {
    // One line at most: curl would read the rest of a text as nothing.
    for (char c : command) {
        if (c == '\n' || c == '\r' || c == '\0') return HY_INVALID_ARGUMENT;
    }
    const std::string text(command);
    if (on_thread()) return run_jar_call(*hub_, text, lines);
    auto call = std::make_shared<JarCall>();
    std::shared_ptr<NetworkHub> hub = hub_;
    post([call, hub, text] {
        uint32_t code = HY_OUT_OF_MEMORY;
        std::string out;
        try {
            code = run_jar_call(*hub, text, out);
        } catch (...) {
            out.clear();
        }
        std::lock_guard lock(call->mutex);
        call->code = code;
        call->lines = std::move(out);
        call->done = true;
        call->done_signal.notify_all();
    });
    std::unique_lock lock(call->mutex);
    call->done_signal.wait(lock, [&] { return call->done; });
    lines = std::move(call->lines);
    return call->code;
}

}  // namespace halyard
