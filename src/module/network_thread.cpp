#include "module/network_thread.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace vesper {

namespace {

thread_local const NetworkIdentity* t_callback_network = nullptr;
// One entry per attachment made on this thread and not yet ended.
thread_local std::vector<const NetworkIdentity*> t_attached_loops;

// The shared identities of profile namespaces, while any engine, request
// or WebSocket of the namespace holds it.
std::mutex g_namespaces_mutex;
std::map<std::string, std::weak_ptr<const NetworkIdentity>>& namespaces() {
    static auto* table = new std::map<std::string, std::weak_ptr<const NetworkIdentity>>();
    return *table;
}

}  // namespace

NetworkRef network_for_engine(const std::string& profile_namespace) {
    try {
        if (profile_namespace.empty()) return std::make_shared<const NetworkIdentity>();
        std::lock_guard lock(g_namespaces_mutex);
        auto& table = namespaces();
        // Forgotten namespaces go as new ones come, so the table holds at
        // most the live ones and one more.
        for (auto it = table.begin(); it != table.end();) {
            it = it->second.expired() && it->first != profile_namespace ? table.erase(it) : std::next(it);
        }
        std::weak_ptr<const NetworkIdentity>& slot = table[profile_namespace];
        NetworkRef shared = slot.lock();
        if (!shared) {
            shared = std::make_shared<const NetworkIdentity>(NetworkIdentity{profile_namespace});
            slot = shared;
        }
        return shared;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CallbackScope::CallbackScope(const NetworkIdentity* network) noexcept : previous_(t_callback_network) {
    t_callback_network = network;
}

CallbackScope::~CallbackScope() { t_callback_network = previous_; }

bool on_network_thread(const NetworkIdentity* network) noexcept {
    return network != nullptr && t_callback_network == network;
}

void note_loop_attach(const NetworkIdentity* network) noexcept {
    if (network == nullptr) return;
    try {
        t_attached_loops.push_back(network);
    } catch (const std::bad_alloc&) {
        // Unmarked: its WebSocket sends take the plain path.
    }
}

void note_loop_detach(const NetworkIdentity* network) noexcept {
    const auto found = std::find(t_attached_loops.begin(), t_attached_loops.end(), network);
    if (found != t_attached_loops.end()) t_attached_loops.erase(found);
}

bool loop_attached_here(const NetworkIdentity* network) noexcept {
    return network != nullptr &&
           std::find(t_attached_loops.begin(), t_attached_loops.end(), network) != t_attached_loops.end();
}

Status refuse_wait_on_network_thread(const NetworkIdentity* network) {
    if (on_network_thread(network)) return Failure::network_thread(kOwnNetworkThread);
    return ok_status();
}

}  // namespace vesper
