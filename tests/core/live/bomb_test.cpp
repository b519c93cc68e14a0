// Live: a gzip bomb read by a caller that never pauses is stopped by the
// expansion guard at about 64 MiB, not after the 1 GiB it unpacks to.
#include <gtest/gtest.h>
#include <zlib.h>

#include "live/live_fixture.h"
#include "support/raw_server.h"

namespace halyard_test {
namespace {

std::string gzip_of_zeros(size_t mib) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    const std::string zeros(1 << 20, '\0');
    std::string out;
    char buffer[1 << 16];
    for (size_t i = 0; i <= mib; ++i) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        z.avail_in = i < mib ? static_cast<uInt>(zeros.size()) : 0;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, i < mib ? Z_NO_FLUSH : Z_FINISH);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

TEST_F(Live, GzipBombIsStoppedByTheExpansionGuard) {
    const std::string body = gzip_of_zeros(1024);
    RawServer server("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body);
    Recorder r;
    run({.url = server.url("/bomb"), .timeout_ms = 30000}, r);
    EXPECT_EQ(r.result(), HY_PROTOCOL);
    EXPECT_EQ(r.net_error(), -330);
    // The piece that crosses the line is not delivered.
    const size_t delivered = r.body().size();
    EXPECT_GT(delivered, 63u << 20);
    EXPECT_LT(delivered, 100u << 20);
}

}  // namespace
}  // namespace halyard_test
