#include "loop/engine.h"

#include <cstdint>
#include <functional>
#include <string>

#include "profile/browser_profile.h"
#include "loop/namespace_registry.h"

namespace halyard {

std::shared_ptr<Engine> Engine::create(EngineSettings settings, uint32_t& code) {
    if (!settings.impersonate.empty()) {
        settings.profile = find_profile(settings.impersonate);
        if (!settings.profile) {
            code = HY_PROFILE_UNSUPPORTED;
            return nullptr;
        }
    }
    settings.tls_setup = {settings.trust.get(), settings.profile ? &settings.profile->tls : nullptr,
                          settings.client_certificate.get()};
    std::shared_ptr<NetworkHub> hub = acquire_hub(settings.profile_namespace, settings.impersonate, code);
    if (!hub) return nullptr;
    try {
        const long keep_idle = settings.options.max_keepalive_connections;
        std::shared_ptr<Engine> engine(new Engine(std::move(settings), hub));
        // The idle connections kept are the hub's (its namespace's) one
        // setting: the latest engine that sets it wins.
        if (keep_idle > 0) hub->post([hub, keep_idle] { curl_multi_setopt(hub->multi(), CURLMOPT_MAXCONNECTS, keep_idle); });
        code = HY_OK;
        return engine;
    } catch (...) {
        hub->drop_user();
        throw;
    }
}

Engine::Engine(EngineSettings settings, std::shared_ptr<NetworkHub> hub)
    : settings_(std::move(settings)), hub_(std::move(hub)), group_(halyard::connection_group(settings_)) {}

std::string connection_group(const EngineSettings& s) {
    // The trust store is named by its address: engines with their own
    // bundles never count as one, even with equal bytes (curl would not
    // tell them apart, so they must not share a limit either).
    std::string group = "h" + std::to_string(s.http_version) + " t" + std::to_string(s.tls_verify);
    if (s.trust) group += "@" + std::to_string(reinterpret_cast<uintptr_t>(s.trust.get()));
    group += " p" + std::to_string(s.impersonate.size()) + ":" + s.impersonate;
    if (!s.proxy.empty()) {
        group += " x" + std::to_string(s.proxy.size()) + ":" + s.proxy;
        group += " u" + std::to_string(s.proxy_username.size()) + ":" + s.proxy_username;
        group += " w" + std::to_string(std::hash<std::string>{}(s.proxy_password));
    }
    return group + s.options.group_key();
}

// The engine's user of the hub is dropped by hy_engine_release, not here:
// requests may keep this object alive longer.
Engine::~Engine() = default;

}  // namespace halyard
