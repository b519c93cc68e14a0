// Validation of a WebSocketConfig record and the Core's copy of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "halyard.h"
#include "text/header.h"

namespace halyard {

struct WebSocketSpec {
    std::string url;            // as given (ws:// or wss://)
    bool secure = false;        // wss
    std::string http_url;       // the same URL as http:// or https://, for curl
    std::string host;           // lower case, IPv6 without brackets
    std::string host_header;    // Host value: host, and the port unless it is the default
    std::string target;         // path and query
    std::string origin;
    std::vector<std::string> protocols;
    HeaderList headers;
    uint64_t timeout_ms = 0;
    WebSocketCallbacks callbacks{};
};

// HY_OK and `out` filled, or HY_UNSUPPORTED_ABI / HY_INVALID_ARGUMENT.
uint32_t read_websocket_config(const WebSocketConfig* config, WebSocketSpec& out);

}  // namespace halyard
