#include "loop/namespace_registry.h"

#include <map>
#include <mutex>

#include "halyard.h"

namespace halyard {
namespace {

struct Registry {
    std::mutex mutex;
    // Weak: the registry never keeps a namespace alive.  Entries of ended
    // hubs are replaced when their name comes again, or swept below.
    std::map<std::string, std::weak_ptr<NetworkHub>> hubs;
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: hub threads may outlive static teardown
    return *r;
}

}  // namespace

std::shared_ptr<NetworkHub> acquire_hub(const std::string& name, const std::string& profile, uint32_t& code) {
    code = HY_INITIALIZATION_FAILED;
    if (name.empty()) {
        auto hub = NetworkHub::create(profile);
        if (hub) code = HY_OK;
        return hub;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.hubs.find(name);
    if (it != r.hubs.end()) {
        if (auto hub = it->second.lock(); hub && hub->try_add_user()) {
            if (hub->profile() != profile) {
                hub->drop_user();
                code = HY_PROFILE_CONFLICT;
                return nullptr;
            }
            code = HY_OK;
            return hub;
        }
    }
    auto hub = NetworkHub::create(profile);
    if (!hub) return nullptr;
    r.hubs[name] = hub;
    // Forget namespaces whose hubs have ended.
    for (auto i = r.hubs.begin(); i != r.hubs.end();) {
        i = i->second.expired() ? r.hubs.erase(i) : std::next(i);
    }
    code = HY_OK;
    return hub;
}

}  // namespace halyard
