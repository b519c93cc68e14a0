// A scripted TCP server on 127.0.0.1 for answers no real server gives:
// each connection reads the request head, writes `reply`, then closes
// (or resets) the connection.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace halyard_test {

class RawServer {
public:
    enum class End { Close, Reset };

    explicit RawServer(std::string reply, End end = End::Close);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const;

private:
    void serve();

    std::string reply_;
    End end_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
int closed_port();

}  // namespace halyard_test
