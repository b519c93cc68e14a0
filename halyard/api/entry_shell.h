// What every C entry shell shares (entry_points.cpp, engine_extensions.cpp):
// the guard that keeps C++ exceptions out of C frames, and handing a newly
// made engine to the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "api/contain.h"
#include "halyard.h"
#include "loop/engine.h"

namespace halyard {

// Runs body(); an exception becomes HY_OUT_OF_MEMORY or `fallback`.
template <typename F>
uint32_t guarded(uint32_t fallback, F&& body) noexcept {
    return contain([&]() -> uint32_t { return body(); }, [&](Fault fault) -> uint32_t {
        return fault == Fault::OutOfMemory ? uint32_t{HY_OUT_OF_MEMORY} : fallback;
    });
}

// Makes the engine `settings` describe and hands its handle to *out; the
// Core's code when it cannot be made.  Runs inside guarded().
inline uint32_t hand_out_engine(EngineSettings settings, hy_engine** out) {
    uint32_t code = HY_OK;
    auto engine = Engine::create(std::move(settings), code);
    if (!engine) return code;
    try {
        *out = new hy_engine{std::move(engine)};
    } catch (...) {
        // The engine's own user goes, which lets its thread end.
        if (engine) engine->drop_user();
        throw;
    }
    return HY_OK;
}

}  // namespace halyard
