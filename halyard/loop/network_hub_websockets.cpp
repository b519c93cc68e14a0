// The network loop's side of WebSocket connections: their connect-only
// transfers finish in the multi like requests, then their sockets join
// curl_multi_poll as extra descriptors.
#include <thread>
#include <vector>

#include "loop/network_hub.h"
#include "websocket/websocket.h"

namespace halyard {

void NetworkHub::track_websocket(std::shared_ptr<WebSocket> socket) {
    WebSocket* key = socket.get();
    websockets_.emplace(key, std::move(socket));
}

void NetworkHub::untrack_websocket(WebSocket* socket) { websockets_.erase(socket); }

bool NetworkHub::websocket_transfer_done(CURL* easy, CURLcode result) {
    for (auto& [key, socket] : websockets_) {
        if (socket->easy() == easy) {
            std::shared_ptr<WebSocket> keep = socket;
            keep->on_connected(result);
            return true;
        }
    }
    return false;
}

void NetworkHub::check_websocket_deadlines(Clock::time_point now) {
    std::vector<std::shared_ptr<WebSocket>> expired;
    for (auto& [key, socket] : websockets_) {
        auto deadline = socket->deadline();
        if (deadline && now >= *deadline) expired.push_back(socket);
    }
    for (auto& socket : expired) socket->on_deadline();
}

std::chrono::milliseconds NetworkHub::websocket_wait(Clock::time_point now, std::chrono::milliseconds wait) const {
    for (const auto& [key, socket] : websockets_) {
        if (socket->has_ready_work()) return std::chrono::milliseconds(0);
        if (auto deadline = socket->deadline()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
            if (left < wait) wait = left;
        }
    }
    return wait;
}

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
