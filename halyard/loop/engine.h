// The engine: the settings every request of the engine uses, on the
// network hub that runs them (engine.h's network side lives in
// network_hub.h: engines of one profile namespace share a hub, an engine
// without a namespace has its own).
//
// Lifetime: the engine handle and every request object are users of the
// hub; its thread ends once the last one is gone.  Nobody waits for it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "api/config.h"
#include "loop/network_hub.h"

namespace halyard {

class Request;

// What a connection of an engine is made with, beyond its origin: the
// proxy and its credentials, the TLS verification mode and trust store,
// the browser profile (its TLS hello) and the HTTP version setting.  Only
// transfers of one group can share a connection, so the per-host limit and
// the HTTP/2 knowledge of the scheduler are kept per group and origin.
std::string connection_group(const EngineSettings& settings);

class Engine : public std::enable_shared_from_this<Engine> {
public:
    using Command = NetworkHub::Command;

    // Creates the engine on its namespace's hub (a new one when the
    // namespace is empty or unused); null with `code` set on failure:
    // HY_PROFILE_UNSUPPORTED for an unknown profile, HY_PROFILE_CONFLICT
    // when a live engine holds the namespace with another profile.  The
    // caller holds one user.
    static std::shared_ptr<Engine> create(EngineSettings settings, uint32_t& code);
    ~Engine();

    const EngineSettings& settings() const { return settings_; }

    void add_user() { hub_->add_user(); }
    void drop_user() { hub_->drop_user(); }

    // Queues a command for the network thread and wakes it.
    void post(Command command) { hub_->post(std::move(command)); }
    bool on_thread() const { return hub_->on_thread(); }

    // Network thread only.
    CURLM* multi() const { return hub_->multi(); }
    CURLSH* share() const { return hub_->share(); }
    void track(std::shared_ptr<Request> request) { hub_->track(std::move(request)); }
    void untrack(Request* request) { hub_->untrack(request); }
    // Started, unfinished WebSocket connections.
    void track_websocket(std::shared_ptr<WebSocket> socket) { hub_->track_websocket(std::move(socket)); }
    void untrack_websocket(WebSocket* socket) { hub_->untrack_websocket(socket); }
    HttpCache& cache() { return hub_->cache(); }
    ConnectionScheduler& scheduler() { return hub_->scheduler(); }
    EasyPool& easy_pool() { return hub_->easy_pool(); }
    const std::string& connection_group() const { return group_; }
    NetworkHub& hub() { return *hub_; }

    // Any thread but through the network thread (engine_cookies.cpp):
    // applies `command` to the jar (a cookies.txt line, which an expired
    // expiry turns into a deletion, or "ALL", which empties it; empty:
    // nothing) and lists the jar's cookies, one '\n'-ended cookies.txt
    // line each.  HY_INVALID_ARGUMENT for a command curl refuses or one
    // with a line end or NUL.
    uint32_t cookies(std::string_view command, std::string& lines);

private:
    Engine(EngineSettings settings, std::shared_ptr<NetworkHub> hub);

    const EngineSettings settings_;
    const std::shared_ptr<NetworkHub> hub_;
    const std::string group_;
};

}  // namespace halyard

// The module's engine handle: one user of the engine.
struct hy_engine {
    std::shared_ptr<halyard::Engine> engine;
};
