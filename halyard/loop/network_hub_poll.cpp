// The network loop's one wait: curl_multi_poll over the multi's own
// sockets, the open WebSockets' sockets and the QUIC multi's sockets,
// bounded by the caller's timeout and the QUIC multi's timers; then each
// WebSocket whose socket is ready (or that has work queued) is served.
#include <thread>
#include <vector>

#include "loop/network_hub.h"
#include "websocket/websocket.h"

namespace halyard {

void NetworkHub::poll(int timeout_ms) {
    std::vector<curl_waitfd> fds;
    std::vector<std::shared_ptr<WebSocket>> owners;
    for (auto& [key, socket] : websockets_) {
        const short events = socket->wanted_events();
        if (events == 0 && !socket->has_ready_work()) continue;
        fds.push_back({socket->socket(), events, 0});
        owners.push_back(socket);
    }
    // The QUIC multi's sockets wait in the same poll; its own timers bound
    // the wait.  What they report is handled by its next perform.
    if (quic_multi_ != nullptr) {
        const CurlApi& quic = *quic_curl();
        long quic_ms = -1;
        if (quic.multi_timeout(quic_multi_, &quic_ms) == CURLM_OK && quic_ms >= 0 && quic_ms < timeout_ms)
            timeout_ms = static_cast<int>(quic_ms);
        curl_waitfd quic_fds[16];
        unsigned count = 0;
        if (quic.multi_waitfds(quic_multi_, quic_fds, 16, &count) == CURLM_OK) {
            for (unsigned i = 0; i < count && i < 16; ++i) fds.push_back(quic_fds[i]);
        } else if (timeout_ms > 10) {
            timeout_ms = 10;  // more sockets than room: look again soon
        }
    }
    if (curl_multi_poll(multi_, fds.data(), static_cast<unsigned>(fds.size()), timeout_ms, nullptr) != CURLM_OK) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    // A connection may end (and leave the map) while another is served;
    // `owners` keeps each alive to the end of the round.
    for (size_t i = 0; i < owners.size(); ++i) {
        if (fds[i].revents != 0 || owners[i]->has_ready_work()) owners[i]->on_socket_ready(fds[i].revents);
    }
}

}  // namespace halyard
