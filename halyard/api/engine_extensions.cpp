// The C entry points of the engine's extensions: an engine made with named
// options, and its cookie jar.  Thin, noexcept shells as in entry_points.cpp.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "api/config.h"
#include "api/entry_shell.h"
#include "api/engine_options.h"
#include "halyard.h"
#include "loop/engine.h"

using halyard::guarded;

extern "C" {

HY_API uint32_t hy_engine_create_with_options(const EngineConfig* config, const char* options, uint64_t options_len,
                                              hy_engine** out) {
    return guarded(HY_INITIALIZATION_FAILED, [&]() -> uint32_t {
        if (out == nullptr) return HY_INVALID_ARGUMENT;
        *out = nullptr;
        if (options == nullptr && options_len != 0) return HY_INVALID_ARGUMENT;
        halyard::EngineSettings settings;
        if (uint32_t rc = halyard::read_engine_config(config, settings); rc != HY_OK) return rc;
        const std::string_view text = options == nullptr ? std::string_view{} : std::string_view(options, options_len);
        if (uint32_t rc = halyard::read_engine_options(text, settings.options); rc != HY_OK) return rc;
        return halyard::hand_out_engine(std::move(settings), out);
    });
}

HY_API uint32_t hy_engine_cookies(hy_engine* engine, const char* command, uint64_t command_len, uint8_t* buffer,
                                  uint64_t capacity, uint64_t* len) {
    if (engine == nullptr || len == nullptr || (command == nullptr && command_len != 0) ||
        (buffer == nullptr && capacity != 0))
        return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&]() -> uint32_t {
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

extern "C" {

HY_API uint32_t hy_engine_loop_attach(hy_engine* engine, int32_t* fd) {
    if (engine == nullptr || fd == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return engine->engine->hub().loop_attach(fd); });
}

HY_API uint32_t hy_engine_loop_drive(hy_engine* engine, int64_t* next_ms) {
    if (engine == nullptr || next_ms == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return engine->engine->hub().loop_drive(next_ms); });
}

HY_API uint32_t hy_engine_loop_detach(hy_engine* engine) {
    if (engine == nullptr) return HY_INVALID_ARGUMENT;
    return guarded(HY_INVALID_STATE, [&] { return engine->engine->hub().loop_detach(); });
}

}  // extern "C"
