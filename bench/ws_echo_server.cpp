// A small native WebSocket echo server for the benchmarks, so that the
// server is never what limits a client: one thread per connection, wslay
// framing, no compression, TCP_NODELAY.  Built by bench_websocket_live.py
// with g++; prints "READY <port>" and serves 127.0.0.1 until killed.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>
#include <wslay/wslay.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "loopback_server.h"

namespace {

std::string accept_of(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    char out[64];
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), digest, sizeof digest);
    return std::string(out, static_cast<size_t>(n));
}

ssize_t on_recv(wslay_event_context_ptr ctx, uint8_t* buf, size_t len, int, void* user) {
    const ssize_t n = read(*static_cast<int*>(user), buf, len);
    if (n > 0) return n;
    wslay_event_set_error(ctx, n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? WSLAY_ERR_WOULDBLOCK
                                                                                  : WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
}

ssize_t on_send(wslay_event_context_ptr ctx, const uint8_t* data, size_t len, int, void* user) {
    const ssize_t n = write(*static_cast<int*>(user), data, len);
    if (n >= 0) return n;
    wslay_event_set_error(ctx, errno == EAGAIN || errno == EWOULDBLOCK ? WSLAY_ERR_WOULDBLOCK
                                                                        : WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
}

void on_message(wslay_event_context_ptr ctx, const wslay_event_on_msg_recv_arg* arg, void*) {
    if (wslay_is_ctrl_frame(arg->opcode)) return;
    wslay_event_msg msg{arg->opcode, arg->msg, arg->msg_length};
    wslay_event_queue_msg(ctx, &msg);
}

void serve(int fd) {
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0 || head.size() > 65536) {
            close(fd);
            return;
        }
        head.append(buf, static_cast<size_t>(n));
    }
    std::string key;
    for (size_t pos = 0; (pos = head.find("\r\n", pos)) != std::string::npos;) {
        pos += 2;
        if (strncasecmp(head.c_str() + pos, "Sec-WebSocket-Key:", 18) == 0) {
            const size_t end = head.find("\r\n", pos);
            key = head.substr(pos + 18, end - pos - 18);
            key.erase(0, key.find_first_not_of(' '));
            key.erase(key.find_last_not_of(' ') + 1);
        }
    }
    const std::string answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: " + accept_of(key) + "\r\n\r\n";
    if (write(fd, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const wslay_event_callbacks callbacks = {on_recv, on_send, nullptr, nullptr, nullptr, nullptr, on_message};
    wslay_event_context_ptr ctx = nullptr;
    wslay_event_context_server_init(&ctx, &callbacks, &fd);
    while (wslay_event_want_read(ctx) || wslay_event_want_write(ctx)) {
        pollfd p{fd, static_cast<short>((wslay_event_want_read(ctx) ? POLLIN : 0) | (wslay_event_want_write(ctx) ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) break;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && wslay_event_recv(ctx) != 0) break;
        if (wslay_event_want_write(ctx) && wslay_event_send(ctx) != 0) break;
    }
    wslay_event_context_free(ctx);
    close(fd);
}

}  // namespace

int main() { return serve_loopback(512, serve); }
