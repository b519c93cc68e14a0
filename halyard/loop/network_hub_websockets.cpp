// The network loop's side of WebSocket connections: their connect-only
// transfers finish in the multi like requests, their deadlines bound the
// loop's wait, and (network_hub_poll.cpp) their sockets join
// curl_multi_poll as extra descriptors.
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

}  // namespace halyard
