#include "loop/engine.h"

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
    settings.tls_setup = {settings.trust.get(), settings.profile ? &settings.profile->tls : nullptr};
    std::shared_ptr<NetworkHub> hub = acquire_hub(settings.profile_namespace, settings.impersonate, code);
    if (!hub) return nullptr;
    try {
        std::shared_ptr<Engine> engine(new Engine(std::move(settings), hub));
        code = HY_OK;
        return engine;
    } catch (...) {
        hub->drop_user();
        throw;
    }
}

Engine::Engine(EngineSettings settings, std::shared_ptr<NetworkHub> hub)
    : settings_(std::move(settings)), hub_(std::move(hub)) {}

// The engine's user of the hub is dropped by hy_engine_release, not here:
// requests may keep this object alive longer.
Engine::~Engine() = default;

}  // namespace halyard
