// PyEngine.cookies: the engine's cookie jar through the Core's
// hy_engine_cookies, which works on the network thread; the interpreter
// lock is given up meanwhile, since that thread may be waiting for it.
#include <string>
#include <vector>

#include "engine/py_engine.h"
#include "module/convert.h"
#include "module/core_extensions.h"
#include "module/gil.h"

namespace vesper {

namespace {

constexpr const char* kNoCookieJar = "this Core gives no access to its cookie jar (hy_engine_cookies is missing)";

}  // namespace

Result<PyRef> engine_cookies(PyObject* self, const Args& args) {
    const auto cookies = core_extensions().engine_cookies;
    if (cookies == nullptr) return Failure::runtime(kNoCookieJar);
    std::string command;
    if (args.given(0) && args[0] != Py_None) {
        TRY_ASSIGN(command, args.convert(0, to_text));
    }
    TRY_ASSIGN(hy_engine* engine, engine_core_handle(self));
    std::vector<char> buffer(4096);
    uint64_t len = 0;
    uint32_t rc = HY_OK;
    {
        GilRelease unlocked;
        rc = cookies(engine, command.data(), command.size(), reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(),
                     &len);
        // The jar may grow between two listings: list again until it fits.
        while (rc == HY_OK && len > buffer.size()) {
            buffer.resize(static_cast<size_t>(len) * 2);
            rc = cookies(engine, nullptr, 0, reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), &len);
        }
    }
    TRY_STATUS(core_status(rc));
    // A server may set bytes that are not UTF-8: kept as surrogates, not refused.
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(buffer.data(), static_cast<Py_ssize_t>(len), "surrogateescape"));
    if (!text) return Failure::fetch();
    return text;
}

}  // namespace vesper
