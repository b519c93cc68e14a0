// The nghttp2 calls libcurl makes to open a connection and send a request,
// made here directly on an nghttp2 client session: on a thread with a
// profile's framing the bytes that would go out carry the profile's
// SETTINGS, window, pseudo-header order and no PRIORITY frame; on any other
// thread they are libcurl's.
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "profile/browser_profile.h"
#include "transport/h2_framing_hooks.h"

namespace halyard {
namespace {

struct Frame {
    uint8_t type = 0;
    uint8_t flags = 0;
    int32_t stream = 0;
    std::string payload;
};

// What libcurl 7.88 asks for when it opens a connection.
const nghttp2_settings_entry kCurlSettings[] = {
    {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100},
    {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 32 << 20},
    {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
};

nghttp2_nv field(const char* name, const char* value) {
    return {reinterpret_cast<uint8_t*>(const_cast<char*>(name)), reinterpret_cast<uint8_t*>(const_cast<char*>(value)),
            std::strlen(name), std::strlen(value), NGHTTP2_NV_FLAG_NONE};
}

// A client session whose output is collected, driven as libcurl drives it.
class Client {
public:
    Client() {
        nghttp2_session_callbacks* callbacks = nullptr;
        nghttp2_session_callbacks_new(&callbacks);
        nghttp2_session_callbacks_set_send_callback(
            callbacks, [](nghttp2_session*, const uint8_t* data, size_t length, int, void* self) -> ssize_t {
                static_cast<Client*>(self)->out_.append(reinterpret_cast<const char*>(data), length);
                return static_cast<ssize_t>(length);
            });
        nghttp2_session_client_new(&session_, callbacks, this);
        nghttp2_session_callbacks_del(callbacks);
    }
    ~Client() { nghttp2_session_del(session_); }

    // Connection set-up and one GET, each call as libcurl makes it.
    void open_and_request(int weight = 256) {
        ASSERT_EQ(nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, kCurlSettings, 3), 0);
        ASSERT_EQ(nghttp2_session_set_local_window_size(session_, NGHTTP2_FLAG_NONE, 0, 32 << 20), 0);
        nghttp2_priority_spec spec;
        nghttp2_priority_spec_init(&spec, 0, weight, 1);
        // Before the stream exists, for a changed weight (stream 2^31-1).
        nghttp2_submit_priority(session_, NGHTTP2_FLAG_NONE, 0x7fffffff, &spec);
        const nghttp2_nv nva[] = {field(":method", "GET"), field(":path", "/a?b"), field(":scheme", "https"),
                                  field(":authority", "localhost:1"), field("user-agent", "x")};
        ASSERT_EQ(nghttp2_submit_request(session_, &spec, nva, 5, nullptr, nullptr), 1);
        ASSERT_EQ(nghttp2_session_send(session_), 0);
    }

    nghttp2_session* session() { return session_; }

    // The server's first SETTINGS and its acknowledgement of ours, which
    // puts our SETTINGS in force.
    void settings_acknowledged() {
        static const uint8_t kServer[] = {0, 0, 0, NGHTTP2_SETTINGS, 0, 0, 0, 0, 0,
                                          0, 0, 0, NGHTTP2_SETTINGS, NGHTTP2_FLAG_ACK, 0, 0, 0, 0};
        ASSERT_EQ(nghttp2_session_mem_recv(session_, kServer, sizeof kServer), static_cast<ssize_t>(sizeof kServer));
    }

    // The frames after the connection preface.
    std::vector<Frame> frames() const {
        std::vector<Frame> out;
        const std::string preface = NGHTTP2_CLIENT_MAGIC;
        EXPECT_EQ(out_.compare(0, preface.size(), preface), 0);
        size_t at = preface.size();
        while (at + 9 <= out_.size()) {
            const auto* h = reinterpret_cast<const uint8_t*>(out_.data() + at);
            const size_t length = (size_t{h[0]} << 16) | (size_t{h[1]} << 8) | h[2];
            Frame f{h[3], h[4], static_cast<int32_t>(((h[5] & 0x7f) << 24) | (h[6] << 16) | (h[7] << 8) | h[8]),
                    out_.substr(at + 9, length)};
            out.push_back(std::move(f));
            at += 9 + length;
        }
        return out;
    }

private:
    nghttp2_session* session_ = nullptr;
    std::string out_;
};

uint32_t be32(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data() + at);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string settings_text(const Frame& f) {
    std::string out;
    for (size_t at = 0; at + 6 <= f.payload.size(); at += 6) {
        const auto* p = reinterpret_cast<const uint8_t*>(f.payload.data() + at);
        if (!out.empty()) out += ';';
        out += std::to_string((p[0] << 8) | p[1]) + ':' + std::to_string(be32(f.payload, at + 2));
    }
    return out;
}

// The pseudo-header letters of a HEADERS frame, in order.
std::string pseudo_order(const Frame& f) {
    size_t skip = (f.flags & NGHTTP2_FLAG_PRIORITY) ? 5 : 0;
    nghttp2_hd_inflater* inflater = nullptr;
    nghttp2_hd_inflate_new(&inflater);
    std::string order;
    const auto* in = reinterpret_cast<const uint8_t*>(f.payload.data() + skip);
    size_t left = f.payload.size() - skip;
    for (;;) {
        nghttp2_nv nv;
        int flags = 0;
        const ssize_t used = nghttp2_hd_inflate_hd2(inflater, &nv, &flags, in, left, 1);
        if (used < 0) break;
        in += used;
        left -= static_cast<size_t>(used);
        if (flags & NGHTTP2_HD_INFLATE_EMIT) {
            if (nv.namelen > 1 && nv.name[0] == ':') order += static_cast<char>(nv.name[1]);
        }
        if (flags & NGHTTP2_HD_INFLATE_FINAL) break;
        if (used == 0 && left == 0) break;
    }
    nghttp2_hd_inflate_del(inflater);
    return order;
}

struct Opened {
    std::string settings;
    uint32_t window = 0;
    int priority_frames = 0;
    std::string pseudo;
};

Opened open_with(const H2Framing* framing) {
    Opened out;
    std::thread([&] {
        use_h2_framing_on_this_thread(framing);
        Client client;
        client.open_and_request();
        for (const Frame& f : client.frames()) {
            if (f.type == NGHTTP2_SETTINGS && !(f.flags & NGHTTP2_FLAG_ACK)) out.settings = settings_text(f);
            if (f.type == NGHTTP2_WINDOW_UPDATE && f.stream == 0 && out.window == 0) out.window = be32(f.payload, 0);
            if (f.type == NGHTTP2_PRIORITY) ++out.priority_frames;
            if (f.type == NGHTTP2_HEADERS) out.pseudo = pseudo_order(f);
        }
    }).join();
    return out;
}

TEST(H2FramingHooks, ProfileThreadsSendTheProfilesFraming) {
    for (const char* name : {"chrome_156", "chrome_105", "firefox_153", "safari_18_0", "safari_18_4"}) {
        const auto profile = find_profile(name);
        ASSERT_TRUE(profile) << name;
        const Opened o = open_with(&profile->h2);
        std::string pseudo;
        for (char c : profile->h2.pseudo_order) pseudo += c;
        EXPECT_EQ(o.settings + '|' + std::to_string(o.window) + "|0|" + pseudo[0] + ',' + pseudo[1] + ',' +
                      pseudo[2] + ',' + pseudo[3],
                  profile->h2.akamai())
            << name;
        EXPECT_EQ(o.pseudo, pseudo) << name;
        EXPECT_EQ(o.priority_frames, 0) << name;
    }
}

TEST(H2FramingHooks, OtherThreadsKeepLibcurlsFraming) {
    const Opened o = open_with(nullptr);
    EXPECT_EQ(o.settings, "3:100;4:33554432;2:0");
    EXPECT_EQ(o.window, (32u << 20) - 65535);
    EXPECT_EQ(o.pseudo, "mpsa");
    EXPECT_EQ(o.priority_frames, 1);
}

// What the server may send on stream 1 after libcurl paused it and
// resumed it with its 32 MiB window.
int32_t stream_credit_after_resume(const H2Framing* framing) {
    int32_t credit = -1;
    std::thread([&] {
        use_h2_framing_on_this_thread(framing);
        Client client;
        client.open_and_request();
        client.settings_acknowledged();
        ASSERT_EQ(nghttp2_session_set_local_window_size(client.session(), NGHTTP2_FLAG_NONE, 1, 0), 0);
        ASSERT_EQ(nghttp2_session_set_local_window_size(client.session(), NGHTTP2_FLAG_NONE, 1, 32 << 20), 0);
        credit = nghttp2_session_get_stream_local_window_size(client.session(), 1);
    }).join();
    return credit;
}

TEST(H2FramingHooks, StreamWindowsAreHeldToTheAnnouncedOne) {
    const auto firefox = find_profile("firefox_153");
    const auto chrome = find_profile("chrome_156");
    ASSERT_TRUE(firefox && chrome);
    EXPECT_EQ(stream_credit_after_resume(&firefox->h2), 131072);
    EXPECT_EQ(stream_credit_after_resume(&chrome->h2), 6291456);
    EXPECT_EQ(stream_credit_after_resume(nullptr), 32 << 20);
}

TEST(H2FramingHooks, SettingsNghttp2RefusesFallBackToLibcurls) {
    H2Framing bad = *parse_h2_framing("2:7|100|0|m,a,s,p");  // ENABLE_PUSH must be 0 or 1
    const Opened o = open_with(&bad);
    EXPECT_EQ(o.settings, "3:100;4:33554432;2:0");
    EXPECT_EQ(o.pseudo, "masp");
}

TEST(H2Framing, EveryProfileHasItsBrowsersText) {
    const std::string chrome = "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p";
    for (const std::string& name : profile_names()) {
        const auto p = find_profile(name);
        const std::string text = p->h2.akamai();
        const auto again = parse_h2_framing(text);
        ASSERT_TRUE(again) << name;
        EXPECT_EQ(again->akamai(), text) << name;
        if (p->family == BrowserFamily::Chrome || p->family == BrowserFamily::Edge) {
            if (p->major >= 117) EXPECT_EQ(text, chrome) << name;
            else EXPECT_NE(text.find(";3:1000;"), std::string::npos) << name;
            EXPECT_EQ(text.find("2:0") != std::string::npos, p->major >= 106) << name;
        }
    }
    EXPECT_EQ(find_profile("firefox_133")->h2.akamai(), "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s");
    EXPECT_EQ(find_profile("firefox_153")->h2.initial_window(), 131072u);
}

TEST(H2Framing, MalformedTextsAreRefused) {
    for (const char* text : {"", "1:65536|15663105|0", "1:x|1|0|m,a,s,p", "1:1|1|3:0:0:201|m,a,s,p",
                             "1:1|1|0|m,a,s", "1:1|1|0|m,a,s,p,m", "1:1|1|0|m,m,s,p", "1:1|1|0|m,a,s,q",
                             "1:1;1:1;1:1;1:1;1:1;1:1;1:1;1:1;1:1|1|0|m,a,s,p", "1:1|-5|0|m,a,s,p"})
        EXPECT_FALSE(parse_h2_framing(text)) << text;
    EXPECT_TRUE(parse_h2_framing("|0|0|m,a,s,p"));  // no settings at all is valid
}

}  // namespace
}  // namespace halyard
