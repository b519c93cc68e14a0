// The framing session against hand-made server frames: reassembly,
// automatic answers, permessage-deflate, UTF-8 and size failures, and the
// frames it writes.
#include <gtest/gtest.h>

#include <new>
#include <set>
#include <stdexcept>
#include <string>

#include "websocket/deflate.h"
#include "websocket/session.h"

namespace halyard {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes to_bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A server frame: never masked.
Bytes frame(uint8_t opcode, const Bytes& payload, bool fin = true, bool rsv1 = false) {
    Bytes out;
    out.push_back(static_cast<uint8_t>((fin ? 0x80 : 0) | (rsv1 ? 0x40 : 0) | opcode));
    const size_t n = payload.size();
    if (n < 126) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 65536) {
        out.push_back(126);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(127);
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(uint64_t{n} >> (8 * i)));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes close_payload(uint16_t code, const std::string& reason) {
    std::string p;
    p.push_back(static_cast<char>(code >> 8));
    p.push_back(static_cast<char>(code & 0xff));
    return to_bytes(p + reason);
}

struct Written {
    bool fin;
    bool rsv1;
    uint8_t opcode;
    bool masked;
    Bytes payload;
    uint32_t mask = 0;
};

// Decodes what the client wrote (masked frames).
std::vector<Written> decode(const uint8_t* data, size_t len) {
    std::vector<Written> frames;
    size_t i = 0;
    while (i + 2 <= len) {
        Written w{(data[i] & 0x80) != 0, (data[i] & 0x40) != 0, static_cast<uint8_t>(data[i] & 0x0f),
                  (data[i + 1] & 0x80) != 0, {}};
        uint64_t n = data[i + 1] & 0x7f;
        i += 2;
        if (n == 126) {
            n = (uint64_t{data[i]} << 8) | data[i + 1];
            i += 2;
        } else if (n == 127) {
            n = 0;
            for (int k = 0; k < 8; ++k) n = (n << 8) | data[i + k];
            i += 8;
        }
        uint8_t mask[4] = {0, 0, 0, 0};
        if (w.masked) {
            std::copy(data + i, data + i + 4, mask);
            w.mask = (uint32_t{mask[0]} << 24) | (uint32_t{mask[1]} << 16) | (uint32_t{mask[2]} << 8) | mask[3];
            i += 4;
        }
        for (uint64_t k = 0; k < n; ++k) w.payload.push_back(data[i + k] ^ mask[k % 4]);
        i += n;
        frames.push_back(std::move(w));
    }
    return frames;
}

class Recording : public FrameSession::Listener {
public:
    struct Message {
        uint32_t type;
        bool compressed;
        Bytes data;
    };
    std::vector<Message> messages;
    std::vector<std::pair<uint16_t, std::string>> closes;

    void on_session_message(uint32_t type, bool compressed, const uint8_t* data, size_t len) override {
        messages.push_back({type, compressed, Bytes(data, data + len)});
    }
    void on_session_close(uint16_t code, std::string_view reason) override { closes.emplace_back(code, reason); }
};

class Session : public ::testing::Test {
protected:
    void start(std::optional<DeflateParams> deflate = std::nullopt, size_t max = kMaxIncomingMessage) {
        ASSERT_TRUE(session.init(&listener, deflate, max));
    }
    void feed(const Bytes& data) { session.receive(data.data(), data.size()); }
    std::vector<Written> written() {
        auto frames = decode(session.output(), session.output_size());
        session.consume_output(session.output_size());
        return frames;
    }
    uint16_t failure_code() const { return session.failure() ? session.failure()->close_code : 0; }

    Recording listener;
    FrameSession session;
};

// Masking keys come from a pool of random bytes: each frame, data or
// control (a pong wslay masks), gets fresh ones, across refills of the pool.
TEST_F(Session, EveryFrameGetsItsOwnMaskingKey) {
    start();
    std::set<uint32_t> keys;
    size_t frames = 0;
    for (int i = 0; i < 150; ++i) {
        ASSERT_TRUE(session.send_message(1, reinterpret_cast<const uint8_t*>("hi"), 2));
        if (i % 3 == 0) feed(frame(9, to_bytes("p")));
        for (const Written& w : written()) {
            ASSERT_TRUE(w.masked);
            keys.insert(w.mask);
            ++frames;
        }
    }
    EXPECT_EQ(frames, 200u);
    EXPECT_EQ(keys.size(), frames);
}

TEST_F(Session, FragmentsAreReassembledAroundAPing) {
    start();
    Bytes stream;
    for (const Bytes& f : {frame(1, to_bytes("hel"), false), frame(9, to_bytes("ping!")), frame(0, to_bytes("lo "), false),
                           frame(0, to_bytes("world")), frame(2, {0, 1, 2})})
        stream.insert(stream.end(), f.begin(), f.end());
    // One byte at a time: no frame boundary may be assumed.
    for (uint8_t b : stream) feed({b});
    ASSERT_EQ(listener.messages.size(), 2u);
    EXPECT_EQ(listener.messages[0].type, 1u);
    EXPECT_EQ(listener.messages[0].data, to_bytes("hello world"));
    EXPECT_EQ(listener.messages[1].type, 2u);
    EXPECT_EQ(listener.messages[1].data, (Bytes{0, 1, 2}));
    const auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].opcode, 0xA);  // the pong, with the ping's payload
    EXPECT_TRUE(out[0].masked);
    EXPECT_EQ(out[0].payload, to_bytes("ping!"));
    EXPECT_FALSE(session.failure());
}

TEST_F(Session, MultibyteCharacterSplitAcrossFragments) {
    start();
    feed(frame(1, to_bytes("caf\xC3"), false));
    feed(frame(0, to_bytes("\xA9")));
    ASSERT_EQ(listener.messages.size(), 1u);
    EXPECT_EQ(listener.messages[0].data, to_bytes("caf\xC3\xA9"));
}

TEST_F(Session, PeerCloseIsReportedAndEchoed) {
    start();
    feed(frame(8, close_payload(4001, "going")));
    ASSERT_EQ(listener.closes.size(), 1u);
    EXPECT_EQ(listener.closes[0], (std::pair<uint16_t, std::string>{4001, "going"}));
    EXPECT_TRUE(session.close_received());
    EXPECT_TRUE(session.close_sent());
    const auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].opcode, 8);
    EXPECT_EQ(out[0].payload, close_payload(4001, "going"));
    EXPECT_FALSE(session.send_message(1, nullptr, 0));
}

TEST_F(Session, EmptyCloseMeans1005) {
    start();
    feed(frame(8, {}));
    ASSERT_EQ(listener.closes.size(), 1u);
    EXPECT_EQ(listener.closes[0].first, 1005);
}

TEST_F(Session, LocalCloseThenPeerAnswer) {
    start();
    ASSERT_TRUE(session.send_close(1000, "bye"));
    EXPECT_TRUE(session.close_sent());
    EXPECT_FALSE(session.send_close(1000, "again"));
    EXPECT_FALSE(session.send_message(2, nullptr, 0));
    auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, close_payload(1000, "bye"));
    // Messages the peer sent before its answer still arrive.
    feed(frame(1, to_bytes("late")));
    feed(frame(8, close_payload(1000, "")));
    EXPECT_EQ(listener.messages.size(), 1u);
    EXPECT_TRUE(session.close_received());
    EXPECT_TRUE(written().empty());  // nothing is echoed twice
}

struct FailureCase {
    const char* name;
    std::vector<Bytes> frames;
    uint16_t close_code;
    bool code_on_wire = true;   // the close frame sent carries the code
};
class SessionFailures : public Session, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SessionFailures, FailWithTheRightCloseCode) {
    start(std::nullopt, 1000);
    for (const Bytes& f : GetParam().frames) feed(f);
    EXPECT_EQ(failure_code(), GetParam().close_code);
    EXPECT_FALSE(session.reading());
    EXPECT_TRUE(listener.messages.empty());
    // The peer is told with a close frame of that code (wslay's frame layer
    // sends its close for a malformed frame without one).
    const auto out = written();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().opcode, 8);
    if (!GetParam().code_on_wire) {
        EXPECT_TRUE(out.back().payload.empty());
        return;
    }
    ASSERT_GE(out.back().payload.size(), 2u);
    EXPECT_EQ((out.back().payload[0] << 8) | out.back().payload[1], GetParam().close_code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SessionFailures,
    ::testing::Values(
        FailureCase{"invalid_utf8", {frame(1, to_bytes("ok \xFF"))}, 1007},
        FailureCase{"invalid_utf8_across_fragments", {frame(1, to_bytes("\xE2\x82"), false), frame(0, to_bytes("x"))}, 1007},
        FailureCase{"truncated_utf8_at_end", {frame(1, to_bytes("\xE2\x82"))}, 1007},
        FailureCase{"frame_over_bound", {frame(2, Bytes(1001, 7))}, 1009},
        FailureCase{"fragments_over_bound", {frame(2, Bytes(600, 7), false), frame(0, Bytes(401, 7))}, 1009},
        FailureCase{"rsv1_not_negotiated", {frame(2, {1}, true, true)}, 1002},
        FailureCase{"continuation_without_start", {frame(0, {1})}, 1002},
        FailureCase{"unknown_opcode", {frame(3, {1})}, 1002},
        FailureCase{"fragmented_ping", {frame(9, to_bytes("ping"), false)}, 1002, false},
        FailureCase{"ping_over_125_bytes", {frame(9, Bytes(200, 'p'))}, 1002, false},
        FailureCase{"close_of_one_byte", {frame(8, {3})}, 1002, false},
        FailureCase{"close_with_reserved_code", {frame(8, close_payload(1005, ""))}, 1002},
        FailureCase{"close_reason_not_utf8", {frame(8, close_payload(1000, "\xFF"))}, 1007}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Session, MessagesAtTheBoundPass) {
    start(std::nullopt, 1000);
    feed(frame(2, Bytes(600, 1), false));
    feed(frame(0, Bytes(400, 2)));
    ASSERT_EQ(listener.messages.size(), 1u);
    EXPECT_EQ(listener.messages[0].data.size(), 1000u);
    EXPECT_FALSE(session.failure());
}

Bytes compress(Deflater& d, const Bytes& data) {
    Bytes out;
    EXPECT_TRUE(d.compress(data.data(), data.size(), out));
    return out;
}

TEST_F(Session, CompressedMessagesInflate) {
    start(DeflateParams{});
    Deflater server;
    ASSERT_TRUE(server.init(15, false));
    const Bytes text = to_bytes(std::string(3000, 'w') + " end");
    feed(frame(1, compress(server, text), true, true));
    // A compressed message split in frames: RSV1 only on the first.
    const Bytes wire = compress(server, to_bytes("second message, fragmented"));
    const size_t half = wire.size() / 2;
    feed(frame(1, Bytes(wire.begin(), wire.begin() + static_cast<long>(half)), false, true));
    feed(frame(0, Bytes(wire.begin() + static_cast<long>(half), wire.end())));
    // An uncompressed message in between is allowed.
    feed(frame(2, {9, 9}));
    ASSERT_EQ(listener.messages.size(), 3u) << (session.failure() ? session.failure()->message : "");
    EXPECT_EQ(listener.messages[0].data, text);
    EXPECT_TRUE(listener.messages[0].compressed);
    EXPECT_EQ(listener.messages[1].data, to_bytes("second message, fragmented"));
    EXPECT_EQ(listener.messages[2].data, (Bytes{9, 9}));
    EXPECT_FALSE(listener.messages[2].compressed);
}

TEST_F(Session, CompressedBombStopsAtTheBound) {
    start(DeflateParams{}, 1000);
    Deflater server;
    ASSERT_TRUE(server.init(15, false));
    feed(frame(2, compress(server, Bytes(100000, 0)), true, true));
    EXPECT_EQ(failure_code(), 1009);
    EXPECT_TRUE(listener.messages.empty());
}

TEST_F(Session, CompressedTextMustBeUtf8) {
    start(DeflateParams{});
    Deflater server;
    ASSERT_TRUE(server.init(15, false));
    feed(frame(1, compress(server, to_bytes("bad \xC0\xAF")), true, true));
    EXPECT_EQ(failure_code(), 1007);
}

TEST_F(Session, SendsMaskedFrames) {
    start();
    const Bytes big(70000, 5);
    ASSERT_TRUE(session.send_message(1, reinterpret_cast<const uint8_t*>("hi"), 2));
    ASSERT_TRUE(session.send_message(2, big.data(), big.size()));
    ASSERT_TRUE(session.send_message(2, nullptr, 0));
    const auto out = written();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].opcode, 1);
    EXPECT_EQ(out[0].payload, to_bytes("hi"));
    EXPECT_EQ(out[1].payload, big);
    EXPECT_TRUE(out[0].masked && out[1].masked && out[2].masked);
    EXPECT_FALSE(out[1].rsv1);
    EXPECT_TRUE(out[2].payload.empty());
}

struct SendDeflate {
    int client_window;
    bool no_takeover;
    bool compressed;
};
class SessionSendDeflate : public Session, public ::testing::WithParamInterface<SendDeflate> {};

TEST_P(SessionSendDeflate, WhatIsSentInflatesBack) {
    const SendDeflate p = GetParam();
    start(DeflateParams{false, p.no_takeover, 15, p.client_window});
    Inflater server;
    ASSERT_TRUE(server.init(p.no_takeover));
    const Bytes message = to_bytes(std::string(2000, 'q') + "tail");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(session.send_message(1, message.data(), message.size()));
    const auto out = written();
    ASSERT_EQ(out.size(), 3u);
    for (const Written& w : out) {
        EXPECT_EQ(w.rsv1, p.compressed);
        if (!p.compressed) {
            EXPECT_EQ(w.payload, message);
            continue;
        }
        Bytes back;
        ASSERT_EQ(server.decompress(w.payload.data(), w.payload.size(), 1 << 20, back), Inflater::Result::Ok);
        EXPECT_EQ(back, message);
        EXPECT_LT(w.payload.size(), 100u);
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, SessionSendDeflate,
                         ::testing::Values(SendDeflate{15, false, true}, SendDeflate{10, true, true},
                                           SendDeflate{9, false, true},
                                           // zlib cannot make 8-bit windows: sent plain, as allowed.
                                           SendDeflate{8, false, false}));

// Data frames are framed and masked by the Core: every length class of the
// header and every alignment of the eight-byte masking, read back unmasked.
class SessionSendSizes : public Session, public ::testing::WithParamInterface<size_t> {};

TEST_P(SessionSendSizes, FramesUnmaskToTheMessage) {
    start();
    Bytes message(GetParam());
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 7 + 3);
    // Twice, so the second frame starts at an odd offset of the output.
    ASSERT_TRUE(session.send_message(2, message.data(), message.size()));
    ASSERT_TRUE(session.send_message(2, message.data(), message.size()));
    const auto out = written();
    ASSERT_EQ(out.size(), 2u);
    for (const Written& w : out) {
        EXPECT_TRUE(w.fin && w.masked);
        EXPECT_FALSE(w.rsv1);
        EXPECT_EQ(w.opcode, 2);
        EXPECT_EQ(w.payload, message);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, SessionSendSizes,
                         ::testing::Values(0u, 1u, 7u, 8u, 9u, 125u, 126u, 127u, 65535u, 65536u, 70001u));

TEST_F(Session, ControlFramesKeepTheirPlaceAmongDataFrames) {
    // A ping read between two sends: its pong lands between the two frames.
    start();
    ASSERT_TRUE(session.send_message(1, reinterpret_cast<const uint8_t*>("one"), 3));
    feed(frame(9, to_bytes("p")));
    ASSERT_TRUE(session.send_message(1, reinterpret_cast<const uint8_t*>("two"), 3));
    const auto out = written();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].payload, to_bytes("one"));
    EXPECT_EQ(out[1].opcode, 10);
    EXPECT_EQ(out[1].payload, to_bytes("p"));
    EXPECT_EQ(out[2].payload, to_bytes("two"));
}

// A listener that takes each message's buffer, as the module does.
class Taking : public FrameSession::Listener {
public:
    FrameSession* session = nullptr;
    struct Taken {
        const uint8_t* data;
        size_t len;
        Bytes buffer;
    };
    std::vector<Taken> taken;
    bool refused_other_pointer = false;

    void on_session_message(uint32_t, bool, const uint8_t* data, size_t len) override {
        Bytes buffer;
        Bytes other;
        refused_other_pointer = !session->take_message(data + 1, other);
        ASSERT_TRUE(session->take_message(data, buffer));
        Bytes again;
        EXPECT_FALSE(session->take_message(data, again));  // once only
        taken.push_back({data, len, std::move(buffer)});
    }
    void on_session_close(uint16_t, std::string_view) override {}
};

TEST(SessionTake, TakenBuffersKeepTheirBytesWhileLaterMessagesArrive) {
    Taking listener;
    FrameSession session;
    listener.session = &session;
    ASSERT_TRUE(session.init(&listener, DeflateParams{}));
    Deflater server;
    ASSERT_TRUE(server.init(15, false));
    const Bytes first(100000, 'a');
    const Bytes second = to_bytes(std::string(5000, 'b') + "compressed");
    const Bytes third(3000, 'c');
    // The first fragmented, the second compressed (taken from the inflated
    // buffer), the third plain.
    Bytes wire = frame(2, Bytes(first.begin(), first.begin() + 40000), false);
    session.receive(wire.data(), wire.size());
    wire = frame(0, Bytes(first.begin() + 40000, first.end()));
    session.receive(wire.data(), wire.size());
    wire = frame(1, compress(server, second), true, true);
    session.receive(wire.data(), wire.size());
    wire = frame(2, third);
    session.receive(wire.data(), wire.size());
    ASSERT_FALSE(session.failure());
    ASSERT_EQ(listener.taken.size(), 3u);
    EXPECT_TRUE(listener.refused_other_pointer);
    const Bytes* expected[] = {&first, &second, &third};
    for (size_t i = 0; i < 3; ++i) {
        // The buffer moved: the pointer the callback saw is its data.
        EXPECT_EQ(listener.taken[i].buffer.data(), listener.taken[i].data);
        EXPECT_EQ(listener.taken[i].len, expected[i]->size());
        EXPECT_EQ(listener.taken[i].buffer, *expected[i]);
    }
    // Outside the callback nothing can be taken.
    Bytes none;
    EXPECT_FALSE(session.take_message(listener.taken[2].data, none));
}

TEST(SessionTake, BuffersGivenBackAssembleTheNextMessages) {
    Taking listener;
    FrameSession session;
    listener.session = &session;
    ASSERT_TRUE(session.init(&listener, std::nullopt));
    Bytes wire = frame(2, Bytes(5000, 'a'));
    session.receive(wire.data(), wire.size());
    ASSERT_EQ(listener.taken.size(), 1u);
    const uint8_t* first = listener.taken[0].data;
    session.shelf()->put(std::move(listener.taken[0].buffer));
    wire = frame(2, Bytes(3000, 'b'));
    session.receive(wire.data(), wire.size());
    ASSERT_EQ(listener.taken.size(), 2u);
    EXPECT_EQ(listener.taken[1].data, first);  // no fresh memory for it
    EXPECT_EQ(listener.taken[1].buffer, Bytes(3000, 'b'));
}

// A window of messages in flight goes round the shelf: it keeps up to
// kSlots buffers of kKeptBytes together, the last one given back first.
TEST(SessionTake, TheShelfKeepsAWindowOfBuffersWithinItsBudget) {
    BufferShelf shelf;
    shelf.put(Bytes(BufferShelf::kKeptBytes + 1));  // larger than the whole budget
    EXPECT_EQ(shelf.kept_bytes(), 0u);
    std::vector<const uint8_t*> given;
    for (size_t i = 0; i < BufferShelf::kSlots + 2; ++i) {
        Bytes buffer(1000, 'x');
        given.push_back(buffer.data());
        shelf.put(std::move(buffer));
    }
    EXPECT_EQ(shelf.kept_bytes(), BufferShelf::kSlots * 1000);
    for (size_t i = BufferShelf::kSlots; i-- > 0;) {
        Bytes taken = shelf.take();
        EXPECT_TRUE(taken.empty());  // emptied, its memory kept
        EXPECT_EQ(taken.data(), given[i]);
    }
    EXPECT_EQ(shelf.take().capacity(), 0u);
    EXPECT_EQ(shelf.kept_bytes(), 0u);
    // The byte budget binds before the slots: 64 KiB buffers fill it at 16,
    // 300 KiB ones at 3.
    for (int i = 0; i < 5; ++i) shelf.put(Bytes(300 << 10));
    EXPECT_EQ(shelf.kept_bytes(), size_t{900} << 10);
    shelf.put(Bytes(200 << 10));
    EXPECT_EQ(shelf.kept_bytes(), size_t{900} << 10);
    shelf.put(Bytes(124 << 10));  // exactly fills it
    EXPECT_EQ(shelf.kept_bytes(), BufferShelf::kKeptBytes);
}

// A listener that fails inside wslay's callbacks, as the module's can when
// memory runs out: the failure stays inside the session.
class Throwing : public FrameSession::Listener {
public:
    enum class What { BadAlloc, Other };
    What what = What::BadAlloc;
    bool on_close = false;
    int calls = 0;

    void on_session_message(uint32_t, bool, const uint8_t*, size_t) override {
        ++calls;
        if (!on_close) raise();
    }
    void on_session_close(uint16_t, std::string_view) override {
        ++calls;
        if (on_close) raise();
    }

private:
    void raise() const {
        if (what == What::BadAlloc) throw std::bad_alloc();
        throw std::runtime_error("listener failed");
    }
};

struct ThrowCase {
    const char* name;
    Throwing::What what;
    bool on_close;
    uint16_t close_code;
};
class SessionListenerThrows : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(SessionListenerThrows, FailsTheSessionWithoutUnwindingThroughWslay) {
    const ThrowCase c = GetParam();
    Throwing listener;
    listener.what = c.what;
    listener.on_close = c.on_close;
    FrameSession session;
    ASSERT_TRUE(session.init(&listener, std::nullopt));
    Bytes stream = c.on_close ? frame(8, close_payload(1000, "bye")) : frame(1, to_bytes("hello"));
    const Bytes next = frame(1, to_bytes("after"));
    stream.insert(stream.end(), next.begin(), next.end());
    EXPECT_NO_THROW(session.receive(stream.data(), stream.size()));
    ASSERT_TRUE(session.failure());
    EXPECT_EQ(session.failure()->close_code, c.close_code);
    EXPECT_FALSE(session.reading());
    EXPECT_EQ(listener.calls, 1);  // nothing after the failure is delivered
    if (!c.on_close) {
        const auto out = decode(session.output(), session.output_size());
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back().opcode, 8);  // the peer is told why
    }
}

INSTANTIATE_TEST_SUITE_P(Callbacks, SessionListenerThrows,
                         ::testing::Values(ThrowCase{"MessageOutOfMemory", Throwing::What::BadAlloc, false, 1009},
                                           ThrowCase{"MessageOther", Throwing::What::Other, false, 1011},
                                           ThrowCase{"CloseOutOfMemory", Throwing::What::BadAlloc, true, 1009},
                                           ThrowCase{"CloseOther", Throwing::What::Other, true, 1011}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Session, ReassemblyFromSmallFragmentsGrowsGeometrically) {
    // 8 MiB in 4 KiB fragments: 2,048 frames.  Growing by each frame's size
    // reallocates (and copies the whole message) for every one of them.
    start();
    const Bytes piece(4096, 'f');
    constexpr int kFrames = 2048;
    int growths = 0;
    size_t capacity = session.message_capacity();
    for (int i = 0; i < kFrames; ++i) {
        const Bytes f = frame(i == 0 ? 2 : 0, piece, i == kFrames - 1);
        feed(f);
        if (session.message_capacity() != capacity) {
            ++growths;
            capacity = session.message_capacity();
        }
    }
    ASSERT_EQ(listener.messages.size(), 1u);
    EXPECT_EQ(listener.messages[0].data.size(), piece.size() * kFrames);
    EXPECT_LE(growths, 16);
}

TEST_F(Session, GrowthStopsAtTheBound) {
    constexpr size_t kBound = 100000;
    start(std::nullopt, kBound);
    const Bytes piece(30000, 'g');
    feed(frame(2, piece, false));
    feed(frame(0, piece, false));
    feed(frame(0, piece, false));  // 90,000: doubling would reserve 120,000
    EXPECT_LE(session.message_capacity(), kBound);
    feed(frame(0, Bytes(10000, 'h')));
    ASSERT_EQ(listener.messages.size(), 1u);
    EXPECT_EQ(listener.messages[0].data.size(), kBound);
}

}  // namespace
}  // namespace halyard
