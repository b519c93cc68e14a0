// The listening side of the benchmarks' small native servers: 127.0.0.1 on
// a free port, "READY <port>" on stdout, then one detached thread per
// accepted connection (TCP_NODELAY set) until the process is killed.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

// Returns only when listening failed (1); `serve` owns and closes each fd.
inline int serve_loopback(int backlog, void (*serve)(int fd)) {
    // A client that goes away must not take the server with it.
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("READY %d\n", ntohs(addr.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serve, fd).detach();
    }
}
