// A small native HTTP/1.1 upload sink for the benchmarks: it reads the
// whole request body (chunked or Content-Length) before it answers
// "200 ok", so an upload is measured to its last byte.  One thread per
// connection, keep-alive.  Built by bench/peers.py with g++; prints
// "READY <port>" and serves 127.0.0.1 until killed.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loopback_server.h"

namespace {

// Buffered reading of one connection.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd), buf_(1 << 18) {}

    // Fills the buffer when empty; false at end of stream.
    bool fill() {
        if (pos_ < end_) return true;
        const ssize_t n = recv(fd_, buf_.data(), buf_.size(), 0);
        if (n <= 0) return false;
        pos_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }

    bool line(std::string& out) {
        out.clear();
        for (;;) {
            if (!fill()) return false;
            const char* start = buf_.data() + pos_;
            const void* nl = memchr(start, '\n', end_ - pos_);
            if (nl != nullptr) {
                const size_t take = static_cast<const char*>(nl) - start;
                out.append(start, take);
                pos_ += take + 1;
                if (!out.empty() && out.back() == '\r') out.pop_back();
                return true;
            }
            out.append(start, end_ - pos_);
            pos_ = end_;
        }
    }

    bool skip(uint64_t count) {
        while (count > 0) {
            if (!fill()) return false;
            const size_t take = static_cast<size_t>(std::min<uint64_t>(count, end_ - pos_));
            pos_ += take;
            count -= take;
        }
        return true;
    }

private:
    int fd_;
    std::vector<char> buf_;
    size_t pos_ = 0;
    size_t end_ = 0;
};

bool lower_starts(const std::string& line, const char* prefix) {
    const size_t n = strlen(prefix);
    if (line.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
    return true;
}

// One request: head, whole body, answer.  False when the connection ends.
bool serve_one(int fd, Reader& in) {
    std::string line;
    if (!in.line(line)) return false;
    if (line.empty() && !in.line(line)) return false;
    bool chunked = false;
    uint64_t length = 0;
    while (in.line(line) && !line.empty()) {
        if (lower_starts(line, "transfer-encoding:") && line.find("chunked") != std::string::npos) chunked = true;
        if (lower_starts(line, "content-length:")) length = strtoull(line.c_str() + 15, nullptr, 10);
    }
    if (chunked) {
        for (;;) {
            if (!in.line(line)) return false;
            const uint64_t size = strtoull(line.c_str(), nullptr, 16);
            if (size == 0) {
                while (in.line(line) && !line.empty()) {
                }
                break;
            }
            if (!in.skip(size) || !in.line(line)) return false;
        }
    } else if (!in.skip(length)) {
        return false;
    }
    static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
    return send(fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kAnswer - 1);
}

void serve(int fd) {
    Reader in(fd);
    while (serve_one(fd, in)) {
    }
    close(fd);
}

}  // namespace

int main() { return serve_loopback(64, serve); }
