// The C entry points of the engine's extensions: an engine made with named
// options, and its cookie jar.  Thin, noexcept shells as in entry_points.cpp.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "api/config.h"
#include "api/contain.h"
#include "api/engine_options.h"
#include "halyard.h"
#include "loop/engine.h"

namespace {

template <typename F>
uint32_t guarded_extension(uint32_t fallback, F&& body) noexcept {
    return halyard::contain([&]() -> uint32_t { return body(); }, [&](halyard::Fault fault) -> uint32_t {
        return fault == halyard::Fault::OutOfMemory ? uint32_t{HY_OUT_OF_MEMORY} : fallback;
    });
}

}  // namespace

extern "C" {

HY_API uint32_t hy_engine_create_with_options(const EngineConfig* config, const char* options, uint64_t options_len,
                                              hy_engine** out) {
    return guarded_extension(HY_INITIALIZATION_FAILED, [&]() -> uint32_t {
        if (out == nullptr) return HY_INVALID_ARGUMENT;
        *out = nullptr;
        if (options == nullptr && options_len != 0) return HY_INVALID_ARGUMENT;
        halyard::EngineSettings settings;
        if (uint32_t rc = halyard::read_engine_config(config, settings); rc != HY_OK) return rc;
        const std::string_view text = options == nullptr ? std::string_view{} : std::string_view(options, options_len);
        if (uint32_t rc = halyard::read_engine_options(text, settings.options); rc != HY_OK) return rc;
        uint32_t code = HY_OK;
        auto engine = halyard::Engine::create(std::move(settings), code);
        if (!engine) return code;
        try {
            *out = new hy_engine{std::move(engine)};
        } catch (...) {
            if (engine) engine->drop_user();
            throw;
        }
        return HY_OK;
    });
}

HY_API uint32_t hy_engine_cookies(hy_engine* engine, const char* command, uint64_t command_len, uint8_t* buffer,
                                  uint64_t capacity, uint64_t* len) {
    if (engine == nullptr || len == nullptr || (command == nullptr && command_len != 0) ||
        (buffer == nullptr && capacity != 0))
        return HY_INVALID_ARGUMENT;
    return guarded_extension(HY_INVALID_STATE, [&]() -> uint32_t {
        std::string lines;
        const std::string_view text = command == nullptr ? std::string_view{} : std::string_view(command, command_len);
        const uint32_t rc = engine->engine->cookies(text, lines);
        if (rc != HY_OK) return rc;
        *len = lines.size();
        const size_t copied = static_cast<size_t>(std::min<uint64_t>(capacity, lines.size()));
        if (copied > 0) std::memcpy(buffer, lines.data(), copied);
        return HY_OK;
    });
}

}  // extern "C"
