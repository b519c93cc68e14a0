// Head block assembly from curl's header lines.
#include <gtest/gtest.h>

#include "http/head_block.h"

namespace halyard {
namespace {

using Event = HeadCollector::Event;

Event feed_all(HeadCollector& h, std::initializer_list<const char*> lines) {
    Event last = Event::None;
    for (const char* line : lines) last = h.feed(line);
    return last;
}

TEST(StatusLine, Parsing) {
    EXPECT_EQ(parse_status_line("HTTP/1.1 200 OK\r\n"), 200);
    EXPECT_EQ(parse_status_line("HTTP/1.0 404\r\n"), 404);
    EXPECT_EQ(parse_status_line("HTTP/2 301 \r\n"), 301);
    EXPECT_EQ(parse_status_line("HTTP/1.1 999 Odd"), 999);
    EXPECT_FALSE(parse_status_line("HTTP/1.1 20 OK\r\n"));
    EXPECT_FALSE(parse_status_line("HTTP/1.1 2000\r\n"));
    EXPECT_FALSE(parse_status_line("HTTP/1.1\r\n"));
    EXPECT_FALSE(parse_status_line("ICY 200 OK\r\n"));
}

TEST(HeadCollector, BlockIsLinesAsReceivedWithCrlfEndings) {
    HeadCollector h;
    EXPECT_EQ(feed_all(h, {"HTTP/1.1 200 OK\r\n", "Content-Type: text/plain\r\n", "X-Lf:  bare \n",
                           "X-Fold: a\r\n", "  b\r\n", "\r\n"}),
              Event::Complete);
    EXPECT_EQ(h.status(), 200);
    EXPECT_EQ(h.block(), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Lf:  bare \r\nX-Fold: a\r\n  b\r\n\r\n");
    EXPECT_EQ(h.header("content-type"), "text/plain");
    EXPECT_EQ(h.header("X-LF"), "bare");
    EXPECT_EQ(h.header("x-fold"), "a b");
    EXPECT_FALSE(h.header("missing"));
}

TEST(HeadCollector, InformationalHeadsRestartTheBlock) {
    HeadCollector h;
    EXPECT_EQ(feed_all(h, {"HTTP/1.1 100 Continue\r\n", "\r\n"}), Event::Informational);
    EXPECT_FALSE(h.complete());
    EXPECT_EQ(feed_all(h, {"HTTP/1.1 103 Early Hints\r\n", "Link: </s>\r\n", "\r\n"}), Event::Informational);
    EXPECT_EQ(feed_all(h, {"HTTP/1.1 204 No Content\r\n", "\r\n"}), Event::Complete);
    EXPECT_EQ(h.block(), "HTTP/1.1 204 No Content\r\n\r\n");
    EXPECT_FALSE(h.header("Link"));
}

TEST(HeadCollector, SwitchingProtocolsIsFinal) {
    HeadCollector h;
    EXPECT_EQ(feed_all(h, {"HTTP/1.1 101 Switching Protocols\r\n", "\r\n"}), Event::Complete);
}

TEST(HeadCollector, Http2StatusLineLosesCurlsTrailingBlank) {
    HeadCollector h;
    EXPECT_EQ(feed_all(h, {"HTTP/2 200 \r\n", "content-length: 3\r\n", "\r\n"}), Event::Complete);
    EXPECT_EQ(h.block(), "HTTP/2 200\r\ncontent-length: 3\r\n\r\n");
    // HTTP/1.1 reason phrases keep their blanks.
    HeadCollector h1;
    feed_all(h1, {"HTTP/1.1 200 OK \r\n", "\r\n"});
    EXPECT_EQ(h1.block(), "HTTP/1.1 200 OK \r\n\r\n");
}

TEST(HeadCollector, TrailersAfterTheHeadAreIgnored) {
    HeadCollector h;
    feed_all(h, {"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked\r\n", "\r\n"});
    EXPECT_EQ(h.feed("X-Trailer: 1\r\n"), Event::None);
    EXPECT_EQ(h.feed("\r\n"), Event::None);
    EXPECT_EQ(h.block(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    EXPECT_FALSE(h.header("X-Trailer"));
}

TEST(HeadCollector, ChunkedDetection) {
    struct Case {
        const char* value;
        bool chunked;
    };
    for (const Case& c : {Case{"chunked", true}, Case{"gzip, chunked", true}, Case{"CHUNKED", true},
                          Case{"chunked, gzip", false}, Case{"identity", false}}) {
        HeadCollector h;
        feed_all(h, {"HTTP/1.1 200 OK\r\n"});
        h.feed(std::string("Transfer-Encoding: ") + c.value + "\r\n");
        h.feed("\r\n");
        EXPECT_EQ(h.chunked(), c.chunked) << c.value;
    }
}

TEST(HeadCollector, GarbageBeforeAStatusLineIsMalformed) {
    HeadCollector h;
    EXPECT_EQ(h.feed("Content-Type: x\r\n"), Event::Malformed);
    EXPECT_EQ(feed_all(h, {"HTTP/1.1 200 OK\r\n", "\r\n"}), Event::Complete);
    EXPECT_EQ(h.block(), "HTTP/1.1 200 OK\r\n\r\n");
}

struct FieldCase {
    const char* line;
    FieldLine kind;
    HeadFields fields;  // after adding the line to {{"A", "1"}}
};

class FieldLines : public ::testing::TestWithParam<FieldCase> {};
TEST_P(FieldLines, AddATrimmedFieldJoinAContinuationOrAreRefused) {
    HeadFields fields{{"A", "1"}};
    EXPECT_EQ(add_field_line(fields, GetParam().line), GetParam().kind);
    EXPECT_EQ(fields, GetParam().fields);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, FieldLines,
    ::testing::Values(FieldCase{"B: 2", FieldLine::Field, {{"A", "1"}, {"B", "2"}}},
                      FieldCase{"B :\t two words \t", FieldLine::Field, {{"A", "1"}, {"B", "two words"}}},
                      FieldCase{"B:", FieldLine::Field, {{"A", "1"}, {"B", ""}}},
                      FieldCase{"B: a:b", FieldLine::Field, {{"A", "1"}, {"B", "a:b"}}},
                      FieldCase{"  more ", FieldLine::Folded, {{"A", "1 more"}}},
                      FieldCase{"\tC: 3", FieldLine::Folded, {{"A", "1 C: 3"}}},
                      FieldCase{"no colon", FieldLine::Malformed, {{"A", "1"}}},
                      FieldCase{": no name", FieldLine::Malformed, {{"A", "1"}}},
                      FieldCase{"", FieldLine::Malformed, {{"A", "1"}}}));

TEST(FieldLines, AContinuationWithNothingBeforeItIsAField) {
    HeadFields fields;
    EXPECT_EQ(add_field_line(fields, " B: 2"), FieldLine::Field);
    EXPECT_EQ(fields, (HeadFields{{"B", "2"}}));
}

TEST(ParsedHead, StopsAtTheEmptyLineWhateverTheLineEndings) {
    const ParsedHead h = parse_head("HTTP/1.1 200 OK\nA: 1\r\nB: 2\n\nC: after\r\n");
    EXPECT_EQ(h.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(h.status, 200);
    EXPECT_EQ(h.fields, (HeadFields{{"A", "1"}, {"B", "2"}}));
    EXPECT_FALSE(h.folded);
    EXPECT_FALSE(h.malformed);
    EXPECT_EQ(h.block(), "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n");
}

TEST(ParsedHead, SaysWhatItJoinedAndWhatItDropped) {
    const ParsedHead h = parse_head("HTTP/1.1 101 Switching Protocols\r\nA: 1\r\n x\r\nbad\r\nB: 2\r\n\r\n");
    EXPECT_EQ(h.fields, (HeadFields{{"A", "1 x"}, {"B", "2"}}));
    EXPECT_TRUE(h.folded);
    EXPECT_TRUE(h.malformed);
    EXPECT_EQ(parse_head("SSH-2.0-OpenSSH\r\n\r\n").status, 0);
    EXPECT_EQ(parse_head("").status_line, "");
}

TEST(HeadCollector, FieldsAreTrimmedAndFoldedLikeAParsedHead) {
    HeadCollector h;
    feed_all(h, {"HTTP/1.1 200 OK\r\n", "X-A :  1\r\n", "  2\r\n", "x-a: 3\r\n", "\r\n"});
    EXPECT_EQ(h.header("x-A"), "1 2");
    EXPECT_EQ(h.values("X-A"), (std::vector<std::string>{"1 2", "3"}));
    EXPECT_EQ(parse_head(h.block()).get("x-a"), "1 2, 3");
}

}  // namespace
}  // namespace halyard
