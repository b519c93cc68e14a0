#include "support/raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace halyard_test {
namespace {

int listen_loopback(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

RawServer::RawServer(std::string reply, End end) : reply_(std::move(reply)), end_(end) {
    listen_fd_ = listen_loopback(&port_);
    if (listen_fd_ >= 0) thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
}

std::string RawServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawServer::serve() {
    // Polls in short slices so that the destructor's stop flag is seen.
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::string request;
        for (int i = 0; i < 100 && request.find("\r\n\r\n") == std::string::npos && !stop_; ++i) {
            pollfd c{fd, POLLIN, 0};
            if (poll(&c, 1, 50) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            request.append(buf, static_cast<size_t>(n));
        }
        if (!reply_.empty()) (void)!write(fd, reply_.data(), reply_.size());
        if (end_ == End::Reset) {
            linger l{1, 0};  // close with RST instead of FIN
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(fd);
    }
}

int closed_port() {
    int port = 0;
    const int fd = listen_loopback(&port);
    close(fd);
    return port;
}

}  // namespace halyard_test
