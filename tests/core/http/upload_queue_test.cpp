// The upload queue: ordering, end of body, back-pressure and waking
// writers when the request ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "halyard.h"
#include "http/upload_queue.h"

namespace halyard {
namespace {

using namespace std::chrono_literals;
using Read = UploadQueue::ReadResult;

const uint8_t* raw_bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string drain(UploadQueue& q, size_t step) {
    std::string out;
    std::string buf(step, '\0');
    size_t n = 0;
    while (q.read(reinterpret_cast<uint8_t*>(buf.data()), step, n) == Read::Data) out.append(buf, 0, n);
    return out;
}

TEST(UploadQueue, DataComesOutInOrderAcrossPieceBoundaries) {
    UploadQueue q;
    EXPECT_EQ(q.append(raw_bytes("hello "), 6, false).code, HY_OK);
    EXPECT_EQ(q.append(nullptr, 0, false).code, HY_OK);
    EXPECT_EQ(q.append(raw_bytes("world"), 5, true).code, HY_OK);
    EXPECT_EQ(drain(q, 4), "hello world");
    size_t n = 99;
    uint8_t b[4];
    EXPECT_EQ(q.read(b, sizeof b, n), Read::End);
    EXPECT_EQ(n, 0u);
}

TEST(UploadQueue, WritesAfterTheFinalPieceAreRefused) {
    UploadQueue q;
    EXPECT_EQ(q.append(nullptr, 0, true).code, HY_OK);
    EXPECT_EQ(q.append(raw_bytes("x"), 1, false).code, HY_INVALID_STATE);
    EXPECT_EQ(q.append(nullptr, 0, true).code, HY_INVALID_STATE);
}

TEST(UploadQueue, AnEmptyQueueAsksForAKickOnTheNextWrite) {
    UploadQueue q;
    uint8_t b[8];
    size_t n = 0;
    EXPECT_EQ(q.append(raw_bytes("a"), 1, false).needs_kick, false);  // nobody waits yet
    EXPECT_EQ(q.read(b, sizeof b, n), Read::Data);
    EXPECT_EQ(q.read(b, sizeof b, n), Read::Empty);               // the reader pauses
    EXPECT_TRUE(q.append(raw_bytes("b"), 1, false).needs_kick);
    EXPECT_FALSE(q.append(raw_bytes("c"), 1, false).needs_kick);      // one kick per pause
    EXPECT_EQ(q.read(b, sizeof b, n), Read::Data);
    EXPECT_EQ(q.read(b, sizeof b, n), Read::Empty);
    EXPECT_TRUE(q.append(nullptr, 0, true).needs_kick);           // the end also wakes it
    EXPECT_EQ(q.read(b, sizeof b, n), Read::End);
}

TEST(UploadQueue, WriterWaitsWhileOverTheLimitUntilTheReaderTakesItToHalf) {
    UploadQueue q(1000);
    const std::string piece(600, 'p');
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    EXPECT_EQ(q.wait_for_room(), HY_OK);  // 600 <= 1000: no wait
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    EXPECT_EQ(q.queued(), 1200u);

    std::atomic<bool> returned{false};
    std::atomic<uint32_t> rc{0xFF};
    std::thread writer([&] {
        rc = q.wait_for_room();
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load()) << "writer did not wait with 1200 bytes queued";
    uint8_t buf[100];
    size_t n = 0;
    ASSERT_EQ(q.read(buf, sizeof buf, n), Read::Data);  // 1100 left: still over
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load());
    ASSERT_EQ(q.read(buf, sizeof buf, n), Read::Data);  // 1000 left: at the limit
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load()) << "a waiting writer woke before half the limit was left";
    uint8_t half[400];
    ASSERT_EQ(q.read(half, sizeof half, n), Read::Data);  // 600 left: still over half
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load());
    ASSERT_EQ(q.read(buf, sizeof buf, n), Read::Data);  // 500 left: room
    writer.join();
    EXPECT_EQ(rc.load(), HY_OK);
}

// The writer of the last piece may reach its wait only after the network
// thread has sent everything and the request has ended: that write did its
// job.  A close before the reader took the final piece is the write's failure.
class UploadQueueEnd : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {};

TEST_P(UploadQueueEnd, WaitAfterTheEndReportsTheCloseOnlyIfTheFinalPieceWasNotTaken) {
    const auto [code, final_taken] = GetParam();
    UploadQueue q(1000);
    ASSERT_EQ(q.append(raw_bytes("last"), 4, true).code, HY_OK);
    uint8_t b[16];
    size_t n = 0;
    if (final_taken) {
        ASSERT_EQ(q.read(b, sizeof b, n), Read::Data);
        ASSERT_EQ(q.read(b, sizeof b, n), Read::End);
    }
    q.close(code);
    EXPECT_EQ(q.wait_for_room(), final_taken ? uint32_t{HY_OK} : code);
    // Later writes are refused either way.
    EXPECT_EQ(q.append(raw_bytes("x"), 1, false).code, code);
}

INSTANTIATE_TEST_SUITE_P(Codes, UploadQueueEnd,
                         ::testing::Combine(::testing::Values(uint32_t{HY_INVALID_STATE}, uint32_t{HY_CANCELED}),
                                            ::testing::Bool()));

// A body of declared length: curl takes its bytes and never asks for the
// end, the server answers, the request ends.  The last writer, late to its
// wait, still succeeded; a reader after the close is still not told End.
TEST(UploadQueue, TheFinalPiecesBytesTakenWithoutAnEndCountAsSent) {
    UploadQueue q(1000);
    ASSERT_EQ(q.append(raw_bytes("abc"), 3, true).code, HY_OK);
    uint8_t b[3];
    size_t n = 0;
    ASSERT_EQ(q.read(b, sizeof b, n), Read::Data);
    ASSERT_EQ(n, 3u);
    q.close(HY_INVALID_STATE);
    EXPECT_EQ(q.wait_for_room(), HY_OK);
    bool held = true;
    EXPECT_EQ(q.wait_for_room_for(10, held), HY_OK);
    EXPECT_FALSE(held);
    EXPECT_EQ(q.read(b, sizeof b, n), Read::Aborted);
}

TEST(UploadQueue, CloseWakesWaitingWritersWithTheEndingCode) {
    UploadQueue q(10);
    const std::string piece(100, 'p');
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    std::atomic<uint32_t> rc{0xFF};
    std::thread writer([&] { rc = q.wait_for_room(); });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(rc.load(), 0xFFu);
    q.close(HY_CANCELED);
    writer.join();
    EXPECT_EQ(rc.load(), HY_CANCELED);
    EXPECT_EQ(q.append(raw_bytes("x"), 1, false).code, HY_CANCELED);
    EXPECT_EQ(q.queued(), 0u);
    // The body did not end: a reader told End would send the terminating
    // chunk, and the server would take the bytes so far as the whole body.
    uint8_t b[4];
    size_t n = 0;
    EXPECT_EQ(q.read(b, sizeof b, n), Read::Aborted);
}

TEST(UploadQueue, OnlyATakenFinalPieceEndsTheBodyAfterAClose) {
    uint8_t b[8];
    size_t n = 0;
    UploadQueue pending_final;  // final piece queued but its data never taken
    ASSERT_EQ(pending_final.append(raw_bytes("abc"), 3, true).code, HY_OK);
    pending_final.close(HY_CANCELED);
    EXPECT_EQ(pending_final.read(b, sizeof b, n), Read::Aborted);
    UploadQueue taken;          // every byte and the end were taken first
    ASSERT_EQ(taken.append(raw_bytes("abc"), 3, true).code, HY_OK);
    ASSERT_EQ(taken.read(b, sizeof b, n), Read::Data);
    ASSERT_EQ(taken.read(b, sizeof b, n), Read::End);
    taken.close(HY_INVALID_STATE);
    EXPECT_EQ(taken.read(b, sizeof b, n), Read::End);
}

TEST(UploadQueue, ConcurrentWriterAndReaderMoveEveryByteOnce) {
    UploadQueue q(4096);
    std::string sent;
    for (int i = 0; i < 2000; ++i) sent += std::to_string(i) + ",";
    std::thread writer([&] {
        for (size_t off = 0; off < sent.size(); off += 97) {
            const size_t len = std::min<size_t>(97, sent.size() - off);
            if (q.append(raw_bytes(sent) + off, len, false).code != HY_OK || q.wait_for_room() != HY_OK) return;
        }
        q.append(nullptr, 0, true);
    });
    std::string received;
    uint8_t buf[333];
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        size_t n = 0;
        const Read r = q.read(buf, sizeof buf, n);
        if (r == Read::End) break;
        if (r == Read::Data) received.append(reinterpret_cast<char*>(buf), n);
        if (r == Read::Empty) std::this_thread::yield();
        if (std::chrono::steady_clock::now() > deadline) {
            q.close(HY_TIMEOUT);  // lets a waiting writer go
            ADD_FAILURE() << "transfer through the queue did not end";
            break;
        }
    }
    writer.join();
    EXPECT_EQ(received, sent);
}

// wait_for_room_for's result and `held`.
std::pair<uint32_t, bool> timed(UploadQueue& q, uint64_t ms) {
    bool held = true;
    const uint32_t rc = q.wait_for_room_for(ms, held);
    return {rc, held};
}
const std::pair<uint32_t, bool> kRoom{HY_OK, false};
const std::pair<uint32_t, bool> kHeld{HY_OK, true};

// The timed wait of writers that wait in slices: the same hold as
// wait_for_room, kept across slices until half the limit is left.
TEST(UploadQueue, TimedWaitTimesOutWhileOverTheLimitAndHoldsToHalfAcrossSlices) {
    UploadQueue q(1000);
    const std::string piece(600, 'p');
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    EXPECT_EQ(timed(q, 0), kRoom);  // 600 <= 1000: room
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(timed(q, 40), kHeld);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 40ms);
    uint8_t buf[400];
    size_t n = 0;
    ASSERT_EQ(q.read(buf, sizeof buf, n), Read::Data);  // 800 left: under the limit, over half
    EXPECT_EQ(timed(q, 0), kHeld) << "a held writer was let go before half the limit";
    EXPECT_EQ(timed(q, 10), kHeld);
    ASSERT_EQ(q.read(buf, 300, n), Read::Data);  // 500 left: room
    EXPECT_EQ(timed(q, 0), kRoom);
    // The hold ended with it: 600 more (1100, over the limit) holds again,
    // and a fresh wait at 800 (never over the limit since) does not.
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    EXPECT_EQ(timed(q, 0), kHeld);
    ASSERT_EQ(q.read(buf, sizeof buf, n), Read::Data);
    ASSERT_EQ(q.read(buf, 300, n), Read::Data);  // 400 left
    EXPECT_EQ(timed(q, 0), kRoom);
    ASSERT_EQ(q.append(raw_bytes(piece), 400, false).code, HY_OK);  // 800
    EXPECT_EQ(timed(q, 0), kRoom);
}

TEST(UploadQueue, TimedWaitWakesWhenTheReaderMakesRoom) {
    UploadQueue q(1000);
    const std::string piece(1500, 'p');
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    std::thread reader([&] {
        std::this_thread::sleep_for(30ms);
        uint8_t buf[1100];
        size_t n = 0;
        q.read(buf, sizeof buf, n);  // 400 left
    });
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(timed(q, UploadQueue::kNoEnd), kRoom);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s);
    reader.join();
}

// The piece sizes differ from one round to the next, so memory kept from
// an emptied piece is reused for a larger or a smaller one.
std::string paced_piece(size_t round, size_t index) {
    static constexpr size_t kSizes[] = {16384, 3, 65536, 1, 200'000, 5000, 70'000};
    const size_t size = kSizes[(round + index) % std::size(kSizes)];
    std::string piece(size, '\0');
    for (size_t i = 0; i < size; ++i) piece[i] = static_cast<char>((round * 131 + index * 7 + i) % 251);
    return piece;
}

TEST(UploadQueue, ReusedMemoryCarriesEachPieceIntactWithAWriterAndAReaderAtOnce) {
    UploadQueue q(256 * 1024);
    std::string sent;
    std::thread writer([&] {
        for (size_t round = 0; round < 60; ++round) {
            for (size_t index = 0; index < 7; ++index) {
                const std::string piece = paced_piece(round, index);
                sent += piece;
                ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
                ASSERT_EQ(q.wait_for_room(), HY_OK);
            }
        }
        ASSERT_EQ(q.append(nullptr, 0, true).code, HY_OK);
    });
    std::string got;
    std::string buf(70'001, '\0');
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (size_t step = 1; std::chrono::steady_clock::now() < deadline; step = step * 7 % 70'001 + 1) {
        size_t n = 0;
        const Read r = q.read(reinterpret_cast<uint8_t*>(buf.data()), step, n);
        if (r == Read::End) break;
        ASSERT_NE(r, Read::Aborted);
        if (r == Read::Empty) std::this_thread::yield();
        got.append(buf, 0, n);
        EXPECT_LE(q.spare_bytes(), 256u * 1024u);
    }
    writer.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "the body differs from what was written";
    EXPECT_EQ(q.spare_bytes(), 0u) << "memory kept after the final piece";
}

TEST(UploadQueue, EmptiedPiecesAreKeptUpToTheLimitAndLetGoOnClose) {
    UploadQueue q(100'000);
    const std::string piece(30'000, 'p');
    uint8_t buf[30'000];
    size_t n = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), false).code, HY_OK);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(q.read(buf, sizeof buf, n), Read::Data);
    EXPECT_GE(q.spare_bytes(), 90'000u);  // three pieces' memory, not five
    EXPECT_LE(q.spare_bytes(), 100'000u);
    ASSERT_EQ(q.append(raw_bytes("tiny"), 4, false).code, HY_OK);
    EXPECT_LT(q.spare_bytes(), 90'000u);  // one taken for the next piece
    q.close(HY_CANCELED);
    EXPECT_EQ(q.spare_bytes(), 0u);
}

// A close ends a timed wait at once with the close's code, or HY_OK when
// the final piece had been taken, as for wait_for_room.
class UploadQueueTimedEnd : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {};

TEST_P(UploadQueueTimedEnd, CloseEndsATimedWaitWithTheWaitsResult) {
    const auto [code, final_taken] = GetParam();
    UploadQueue q(10);
    const std::string piece(100, 'p');
    ASSERT_EQ(q.append(raw_bytes(piece), piece.size(), final_taken).code, HY_OK);
    if (final_taken) {
        uint8_t b[128];
        size_t n = 0;
        ASSERT_EQ(q.read(b, sizeof b, n), Read::Data);
        ASSERT_EQ(q.read(b, sizeof b, n), Read::End);
        q.close(code);
        EXPECT_EQ(timed(q, 10'000), kRoom);
        return;
    }
    std::atomic<uint32_t> rc{0xFF};
    std::thread writer([&] { rc = timed(q, 10'000).first; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(rc.load(), 0xFFu);
    const auto begun = std::chrono::steady_clock::now();
    q.close(code);
    writer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s);
    EXPECT_EQ(rc.load(), code);
    EXPECT_EQ(timed(q, 0), std::make_pair(code, false));
}

INSTANTIATE_TEST_SUITE_P(Codes, UploadQueueTimedEnd,
                         ::testing::Combine(::testing::Values(uint32_t{HY_INVALID_STATE}, uint32_t{HY_CANCELED},
                                                              uint32_t{HY_TIMEOUT}),
                                            ::testing::Bool()));

}  // namespace
}  // namespace halyard
