#include "transport/curl_api.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace halyard {
namespace {

struct QuicLibrary {
    CurlApi api{};
    bool ok = false;
    std::string reason;
    std::string version;
};

template <typename F>
bool bind(void* lib, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(lib, name));
    return out != nullptr;
}

QuicLibrary load() {
    QuicLibrary q;
    const char* name = quic_library_name();
    // RTLD_LOCAL: its names stay out of the global scope, so nothing else
    // in the process binds to this flavour by accident.
    void* lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char* why = dlerror();
        q.reason = std::string("cannot load ") + name + ": " + (why ? why : "unknown");
        return q;
    }
    CURLcode (*global_init)(long) = nullptr;
    curl_version_info_data* (*version_info)(CURLversion) = nullptr;
    CurlApi& a = q.api;
    const bool all = bind(lib, "curl_global_init", global_init) && bind(lib, "curl_version_info", version_info) &&
                     bind(lib, "curl_easy_init", a.easy_init) && bind(lib, "curl_easy_cleanup", a.easy_cleanup) &&
                     bind(lib, "curl_easy_reset", a.easy_reset) && bind(lib, "curl_easy_setopt", a.easy_setopt) &&
                     bind(lib, "curl_easy_getinfo", a.easy_getinfo) && bind(lib, "curl_easy_pause", a.easy_pause) &&
                     bind(lib, "curl_multi_init", a.multi_init) && bind(lib, "curl_multi_cleanup", a.multi_cleanup) &&
                     bind(lib, "curl_multi_add_handle", a.multi_add_handle) &&
                     bind(lib, "curl_multi_remove_handle", a.multi_remove_handle) &&
                     bind(lib, "curl_multi_perform", a.multi_perform) &&
                     bind(lib, "curl_multi_info_read", a.multi_info_read) &&
                     bind(lib, "curl_multi_timeout", a.multi_timeout) && bind(lib, "curl_multi_setopt", a.multi_setopt) &&
                     bind(lib, "curl_multi_waitfds", a.multi_waitfds);
    if (!all) {
        q.reason = std::string(name) + " lacks a needed function (curl 8.8 or later is needed)";
        return q;  // the library stays loaded: unloading libcurl is not safe
    }
    const curl_version_info_data* info = version_info(CURLVERSION_NOW);
    if (info == nullptr || (info->features & CURL_VERSION_HTTP3) == 0) {
        q.reason = std::string(name) + " was built without HTTP/3";
        return q;
    }
    if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        q.reason = std::string(name) + ": global initialisation failed";
        return q;
    }
    q.version = std::string("libcurl/") + (info->version ? info->version : "?");
    if (info->ssl_version) q.version += std::string(" ") + info->ssl_version;
    if (info->age >= CURLVERSION_SIXTH && info->quic_version) q.version += std::string(" ") + info->quic_version;
    q.ok = true;
    return q;
}

const QuicLibrary& library() {
    static const QuicLibrary q = load();
    return q;
}

}  // namespace

const CurlApi& linked_curl() {
    static const CurlApi api{
        curl_easy_init,      curl_easy_cleanup,      curl_easy_reset,     curl_easy_setopt,
        curl_easy_getinfo,   curl_easy_pause,        curl_multi_init,     curl_multi_cleanup,
        curl_multi_add_handle, curl_multi_remove_handle, curl_multi_perform, curl_multi_info_read,
        curl_multi_timeout,  curl_multi_setopt,      nullptr,
    };
    return api;
}

const char* quic_library_name() {
    const char* name = std::getenv("VESPER_QUIC_LIBCURL");
    return name != nullptr && *name != '\0' ? name : "libcurl-gnutls.so.4";
}

const CurlApi* quic_curl() {
    const QuicLibrary& q = library();
    return q.ok ? &q.api : nullptr;
}

const std::string& quic_unavailable_reason() { return library().reason; }

const std::string& quic_curl_version() { return library().version; }

}  // namespace halyard
