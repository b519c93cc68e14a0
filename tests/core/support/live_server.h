// The local servers of tests/core/live/live_server.py.  Under ctest a
// fixture (live_servers_fixture.py) starts one set for the whole run and
// names its state file in HALYARD_LIVE_SERVERS; every test process reads it.
// Otherwise (core_tests run by hand) they are started once per test process
// on first use as one process group, and stopped by that group's id when the
// process exits or is ended by SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGABRT;
// the servers also end when the process dies any other way.
#pragma once

#include <string>

namespace halyard_test {

struct LiveServers {
    int http = 0;         // HTTP/1.1 and h2c
    int https = 0;        // HTTP/1.1 and h2, certificate for 127.0.0.1 from the test CA
    int https_host = 0;   // certificate for another host name
    int https_old = 0;    // expired certificate
    int proxy = 0;        // HTTP proxy wanting user:secret; 0 when unavailable
    int socks = 0;        // SOCKS5 proxy without authentication; 0 when unavailable
    int ws = 0;           // WebSocket test server (tests/live/servers/run_websocket.py); 0 when unavailable
    int wss = 0;          // the same over TLS, certificate for 127.0.0.1
    int h3 = 0;           // HTTP/3 on UDP and h2 on TCP, same port number (tests/live/servers/run_http3.py); 0 when unavailable
    std::string ca_pem;   // the test CA
};

// Null (with `why` set) when the servers cannot be started or read here;
// tests then skip, or fail in CI (live_unavailable).
const LiveServers* live_servers(std::string* why = nullptr);

// True in CI (CI=true), where every live server must be there: a test that
// cannot reach one fails instead of skipping.
bool servers_required();

// Ends the calling test or SetUp: a failure in CI, a skip elsewhere.
#define HALYARD_LIVE_UNAVAILABLE(why)                                   \
    do {                                                                \
        if (::halyard_test::servers_required()) GTEST_FAIL() << (why);  \
        GTEST_SKIP() << (why);                                          \
    } while (0)

std::string http_url(const std::string& path);
std::string https_url(const std::string& path);

}  // namespace halyard_test
