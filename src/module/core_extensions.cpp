// The extensions are found in the very library the module bound
// hy_abi_version to (the Core beside the module, or a double loaded ahead
// of it), never by a global search that could answer from another library.
#include "module/core_extensions.h"

#include <dlfcn.h>

namespace vesper {

namespace {

CoreExtensions g_extensions;

}  // namespace

void find_core_extensions() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&hy_abi_version), &info) == 0 || info.dli_fname == nullptr) return;
    // Already loaded (the module depends on it): RTLD_NOLOAD only finds it.
    void* core = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (core == nullptr) return;
    CoreExtensions found;
#define VESPER_EXTENSION_FIND(name) \
    found.name = reinterpret_cast<hy_##name##_fn>(dlsym(core, "hy_" #name));
    VESPER_CORE_EXTENSIONS(VESPER_EXTENSION_FIND)
#undef VESPER_EXTENSION_FIND
    // The module holds the Core for the life of the process: this only
    // drops the count RTLD_NOLOAD added.
    dlclose(core);
    g_extensions = found;
}

const CoreExtensions& core_extensions() { return g_extensions; }

}  // namespace vesper
