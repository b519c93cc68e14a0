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
        return std::string("halyard/" HALYARD_VERSION " libcurl/") + curl;
    }();
    return text.c_str();
}

}  // namespace halyard
