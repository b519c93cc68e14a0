// A small native WebSocket echo server for the benchmarks, so that the
// server is never what limits a client: one thread per connection, its own
// framing (unmasked eight bytes at a time), no compression, TCP_NODELAY.  Built by bench_websocket_live.py
// with g++; prints "READY <port>" and serves 127.0.0.1 until killed.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// Unmasks `len` bytes in place, eight at a time (the mask repeats every
// four bytes from the payload's first).
void unmask(uint8_t* data, size_t len, const uint8_t mask[4]) {
    uint8_t repeated[8];
    for (int i = 0; i < 8; ++i) repeated[i] = mask[i % 4];
    uint64_t word;
    std::memcpy(&word, repeated, 8);
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, data + i, 8);
        chunk ^= word;
        std::memcpy(data + i, &chunk, 8);
    }
    for (; i < len; ++i) data[i] ^= mask[i % 4];
}

// A server frame (never masked), final.
void append_frame(std::vector<uint8_t>& out, uint8_t opcode, const uint8_t* data, size_t len) {
    out.push_back(static_cast<uint8_t>(0x80 | opcode));
    if (len < 126) {
        out.push_back(static_cast<uint8_t>(len));
    } else if (len <= 0xffff) {
        out.push_back(126);
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
    } else {
        out.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(uint64_t{len} >> shift));
    }
    out.insert(out.end(), data, data + len);
}

// Parses the whole frames at the front of in[*head..], echoing each
// message (fragments joined), answering pings and echoing the close.
// False once a close was echoed (or a frame is malformed).
bool handle_frames(std::vector<uint8_t>& in, size_t* head, std::vector<uint8_t>& out, std::vector<uint8_t>& message,
                   uint8_t* message_op) {
    for (;;) {
        const size_t avail = in.size() - *head;
        uint8_t* f = in.data() + *head;
        if (avail < 2) return true;
        const bool fin = (f[0] & 0x80) != 0;
        const uint8_t opcode = f[0] & 0x0f;
        const bool masked = (f[1] & 0x80) != 0;
        uint64_t len = f[1] & 0x7f;
        size_t at = 2;
        if (len == 126) {
            if (avail < 4) return true;
            len = (uint64_t{f[2]} << 8) | f[3];
            at = 4;
        } else if (len == 127) {
            if (avail < 10) return true;
            len = 0;
            for (int i = 0; i < 8; ++i) len = (len << 8) | f[2 + i];
            at = 10;
        }
        if (!masked || len > (uint64_t{1} << 30)) return false;  // a client's frames are masked
        if (avail < at + 4 + len) return true;
        uint8_t* payload = f + at + 4;
        unmask(payload, static_cast<size_t>(len), f + at);
        *head += at + 4 + static_cast<size_t>(len);
        switch (opcode) {
        case 0:
            message.insert(message.end(), payload, payload + len);
            if (fin) {
                append_frame(out, *message_op, message.data(), message.size());
                message.clear();
            }
            break;
        case 1:
        case 2:
            if (fin) {
                append_frame(out, opcode, payload, static_cast<size_t>(len));
            } else {
                message.assign(payload, payload + len);
                *message_op = opcode;
            }
            break;
        case 8:
            append_frame(out, 8, payload, static_cast<size_t>(len));
            return false;
        case 9:
            append_frame(out, 10, payload, static_cast<size_t>(len));
            break;
        default:
            break;  // pongs
        }
    }
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
    // The frames are parsed here rather than by wslay, whose reads stop at
    // 4 KiB and whose unmasking goes a byte at a time: the server must not
    // be what limits a client.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::vector<uint8_t> in(head.begin() + static_cast<long>(head.find("\r\n\r\n") + 4), head.end());
    std::vector<uint8_t> out;
    std::vector<uint8_t> message;
    uint8_t message_op = 2;
    size_t in_head = 0;
    size_t out_head = 0;
    bool open = true;
    constexpr size_t kRead = size_t{256} << 10;
    const std::unique_ptr<uint8_t[]> chunk(new uint8_t[kRead]);
    for (;;) {
        if (open && !handle_frames(in, &in_head, out, message, &message_op)) open = false;
        if (in_head == in.size()) {
            in.clear();
            in_head = 0;
        } else if (in_head > (size_t{1} << 20)) {
            in.erase(in.begin(), in.begin() + static_cast<long>(in_head));
            in_head = 0;
        }
        while (out_head < out.size()) {
            const ssize_t n = write(fd, out.data() + out_head, out.size() - out_head);
            if (n <= 0) break;
            out_head += static_cast<size_t>(n);
        }
        if (out_head == out.size()) {
            out.clear();
            out_head = 0;
            if (!open) break;
        }
        // Reading pauses while 16 MiB of echoes wait for a client that is
        // not reading.
        const bool want_read = open && out.size() - out_head < (size_t{16} << 20);
        pollfd p{fd, static_cast<short>((want_read ? POLLIN : 0) | (out_head < out.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) break;
        if (want_read && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = read(fd, chunk.get(), kRead);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
            if (n > 0) in.insert(in.end(), chunk.get(), chunk.get() + n);
        }
    }
    close(fd);
}

}  // namespace

int main() { return serve_loopback(512, serve); }
