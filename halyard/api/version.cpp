#include "api/version.h"

#include <curl/curl.h>

#include <string>

#ifndef HALYARD_VERSION
#define HALYARD_VERSION "0.0.0"
#endif

namespace halyard {

const char* version_string() {
    // Built once; the text lives as long as the process.
    static const std::string text = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        std::string curl = (info && info->version) ? info->version : "unknown";
        std::string text = std::string("halyard/" HALYARD_VERSION " libcurl/") + curl;
        // The TLS library curl runs on: the Core's own BoringSSL with its
        // release (curl knows only the name), or the system's as curl names it.
#ifdef HALYARD_TLS_LIBRARY
        text += " " HALYARD_TLS_LIBRARY;
#else
        if (info && info->ssl_version) text += std::string(" ") + info->ssl_version;
#endif
        return text;
    }();
    return text.c_str();
}

}  // namespace halyard
