// Which engine's network thread the calling thread is.
//
// The Core runs an engine's callbacks on that engine's network thread (all
// engines of one profile namespace share one).  Whatever runs inside such
// a callback runs there too: the notifier it fires (an asyncio loop's
// call_soon_threadsafe, which is Python code a caller may supply), an event
// hook, a __del__ of an object dropped there.  A blocking wait of that
// engine made there would wait for the very thread that has to deliver
// what it waits for, and every other transfer of the engine would stop
// with it.  The module marks the thread for as long as one of its Core
// callbacks runs (CallbackScope) with the identity of the network thread
// the callback came from, and every blocking wait of a request or
// WebSocket checks that mark first (refuse_wait_on_network_thread).
#pragma once

#include <memory>
#include <string>

#include "module/failure.h"

namespace vesper {

// Stands for one network thread; only its address is used, for comparison.
// Held by the engine and by each of its requests and WebSockets, so the
// address is not reused while any of them lives.
struct NetworkIdentity {
    std::string profile_namespace;  // "" for an engine with a thread of its own
};
using NetworkRef = std::shared_ptr<const NetworkIdentity>;

// The identity for a new engine: its own when `profile_namespace` is empty,
// else the one every live engine of that namespace shares.  Null when no
// memory was left (the checks then never refuse).
NetworkRef network_for_engine(const std::string& profile_namespace);

// Marks the calling thread as running a callback from `network`'s thread
// for the scope's life (nested scopes restore the outer mark).
class CallbackScope {
public:
    explicit CallbackScope(const NetworkIdentity* network) noexcept;
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    const NetworkIdentity* previous_;
};

// True while the calling thread runs a callback of `network`'s thread.
bool on_network_thread(const NetworkIdentity* network) noexcept;

// The event loops' threads that run an engine's loop themselves: marked
// from a successful loop_attach to the loop_detach made on the same
// thread (nested attachments count).  A thread that could not be marked
// (no memory) is simply not marked.
void note_loop_attach(const NetworkIdentity* network) noexcept;
void note_loop_detach(const NetworkIdentity* network) noexcept;
bool loop_attached_here(const NetworkIdentity* network) noexcept;

// A RuntimeError when a blocking wait of an object of `network`'s engine is
// made on that engine's network thread; fine otherwise.
Status refuse_wait_on_network_thread(const NetworkIdentity* network);

inline constexpr const char* kOwnNetworkThread =
    "would wait on the engine's own network thread: a blocking call of a request or WebSocket cannot be "
    "made from a callback of its engine (a loop's call_soon_threadsafe, an event hook or a finalizer "
    "running there); schedule it on another thread or use the async API";

}  // namespace vesper
