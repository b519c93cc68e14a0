// The profile table: Chrome and Edge 99-156, four Firefox and two Safari
// releases.  Values and their sources are listed in README.md.
#include <map>
#include <mutex>

#include "profile/browser_profile.h"
#include "profile/client_hints.h"

namespace halyard {
namespace {

constexpr int kFirstChromium = 99;
constexpr int kLastChromium = 156;

// Chrome's ClientHello (BoringSSL as Chrome configures it) in OpenSSL terms.
TlsProfile chromium_tls(int major) {
    TlsProfile t;
    t.tls13_ciphers = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
    t.tls12_ciphers =
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
        "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
        "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:"
        "AES256-SHA";
    // From 124 Chrome puts a post-quantum hybrid first; OpenSSL 3.0 has none.
    t.groups = "X25519:P-256:P-384";
    t.sigalgs =
        "ECDSA+SHA256:rsa_pss_rsae_sha256:RSA+SHA256:ECDSA+SHA384:rsa_pss_rsae_sha384:RSA+SHA384:"
        "rsa_pss_rsae_sha512:RSA+SHA512";
    t.session_ticket = true;
    t.status_request = true;
    t.signed_cert_timestamps = true;
    // BoringSSL pads a 256-511 byte hello; from 124 Chrome's post-quantum
    // share makes every hello longer, so it never pads (captured 156: none).
    t.padding = major < 124;
    t.grease = true;
    t.ech_grease = major >= 119;
    t.ech_payload = 0;  // Chrome draws 144, 176, 208 or 240 per connection
    // The Trust Anchor IDs list (0xca34) of the 156 capture.
    t.trust_anchor_ids = major >= 156;
    // On the Core's own BoringSSL, the rest of Chrome's hello: the
    // post-quantum hybrid first from 124 (Kyber draft, then ML-KEM from
    // 131), the extension order shuffled per connection from 110, brotli
    // certificate compression, ALPS for h2 (the new codepoint from 133),
    // ML-DSA signature algorithms from 150 and a GREASE one first in 156.
    t.pq_group = major >= 131 ? 0x11ec : major >= 124 ? 0x6399 : 0;
    t.permute_extensions = major >= 110;
    t.cert_compression = "\x02";
    t.alps = major >= 133 ? 17613 : 17513;
    t.mldsa_sigalgs = major >= 150;
    t.grease_sigalgs = major >= 156;
    return t;
}

// ALPS's payload for h2: the SETTINGS the browser sends, 16-bit id and
// 32-bit value each, in order.
std::string alps_settings(const H2Framing& h2) {
    std::string out;
    for (size_t i = 0; i < h2.setting_count; ++i) {
        const auto id = static_cast<uint32_t>(h2.settings[i].id);
        const uint32_t v = h2.settings[i].value;
        for (int shift : {8, 0}) out.push_back(static_cast<char>((id >> shift) & 0xff));
        for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<char>((v >> shift) & 0xff));
    }
    return out;
}

// A profile's HTTP/2 framing from the browser's Akamai fingerprint text
// (sources in README.md); the table's texts are known to parse.
H2Framing framing(std::string_view akamai) { return parse_h2_framing(akamai).value_or(H2Framing{}); }

// Chrome added ENABLE_PUSH 0 at 106 and dropped MAX_CONCURRENT_STREAMS
// (a limit on pushed streams) at 117.
H2Framing chromium_h2(int major) {
    if (major <= 105) return framing("1:65536;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p");
    if (major <= 116) return framing("1:65536;2:0;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p");
    return framing("1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p");
}

std::string chrome_version(int major) {
    // Full versions until the user agent reduction reached every client
    // of 101 and later (June 2022); the versions are those of the captures.
    switch (major) {
    case 99: return "99.0.4844.51";
    case 100: return "100.0.4896.75";
    case 101: return "101.0.4951.67";
    default: return std::to_string(major) + ".0.0.0";
    }
}

std::string edge_version(int major) {
    // Edge kept its full build number up to 118; only these builds are
    // known here, the others carry the reduced form (see README).
    switch (major) {
    case 99: return "99.0.1150.30";
    case 101: return "101.0.1210.47";
    case 118: return "118.0.2088.76";
    default: return std::to_string(major) + ".0.0.0";
    }
}

std::shared_ptr<BrowserProfile> chromium_profile(BrowserFamily family, int major) {
    const bool edge = family == BrowserFamily::Edge;
    auto p = std::make_shared<BrowserProfile>();
    p->family = family;
    p->major = major;
    p->name = (edge ? "edge_" : "chrome_") + std::to_string(major);

    std::string ua = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/" +
                     chrome_version(major) + " Safari/537.36";
    if (edge) ua += " Edg/" + edge_version(major);

    // Edge never offered AVIF in a navigation; the q of signed exchanges
    // went from 0.9 to 0.7 (Chrome: after 107, Edge: after 101).
    const bool q07 = edge ? major > 101 : major > 107;
    std::string accept = "text/html,application/xhtml+xml,application/xml;q=0.9,";
    // JPEG XL came back in front of AVIF in the 15x releases (156 capture).
    if (!edge && major >= 150) accept += "image/jxl,";
    if (!edge) accept += "image/avif,";
    accept += "image/webp,image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=";
    accept += q07 ? "0.7" : "0.9";

    const std::string encodings = major >= 123 ? "gzip, deflate, br, zstd" : "gzip, deflate, br";
    using R = HeaderRole;
    p->headers = {
        {"Connection", "keep-alive", R::Connection},
        {"sec-ch-ua", sec_ch_ua(edge ? "Microsoft Edge" : "Google Chrome", major), R::ClientHint},
        {"sec-ch-ua-mobile", "?0", R::ClientHint},
        {"sec-ch-ua-platform", "\"Windows\"", R::ClientHint},
        {"Upgrade-Insecure-Requests", "1", R::Plain},
        {"User-Agent", ua, R::UserAgent},
        {"Accept", accept, R::Plain},
        {"Sec-Fetch-Site", "none", R::FetchMetadata},
        {"Sec-Fetch-Mode", "navigate", R::FetchMetadata},
        {"Sec-Fetch-User", "?1", R::FetchMetadata},
        {"Sec-Fetch-Dest", "document", R::FetchMetadata},
        {"Accept-Encoding", encodings, R::AcceptEncoding},
        {"Accept-Language", "en-US,en;q=0.9", R::AcceptLanguage},
    };
    // The HTTP/2 priority header, urgency 0 and incremental, from 124.
    if (major >= 124) p->headers.push_back({"priority", "u=0, i", R::Http2Only});
    p->insecure_accept_encoding = "gzip, deflate";
    p->tls = chromium_tls(major);
    p->h2_weight = 256;
    p->h2_exclusive = true;
    p->h2 = chromium_h2(major);
    p->tls.alps_settings = alps_settings(p->h2);
    p->websocket = WebSocketLayout::Chromium;
    p->websocket_accept_encoding = encodings;
    return p;
}

std::shared_ptr<BrowserProfile> firefox_profile(int major) {
    auto p = std::make_shared<BrowserProfile>();
    p->family = BrowserFamily::Firefox;
    p->major = major;
    p->name = "firefox_" + std::to_string(major);
    const std::string v = std::to_string(major) + ".0";
    using R = HeaderRole;
    p->headers = {
        {"User-Agent", "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:" + v + ") Gecko/20100101 Firefox/" + v,
         R::UserAgent},
        {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", R::Plain},
        // 153 as captured with the en-US default; the older q=0.5 is from earlier captures.
        {"Accept-Language", major >= 153 ? "en-US,en;q=0.9" : "en-US,en;q=0.5", R::AcceptLanguage},
        {"Accept-Encoding", "gzip, deflate, br, zstd", R::AcceptEncoding},
        // HTTP/1.1 only, here (Firefox's own place for it).
        {"Connection", "keep-alive", R::Connection},
        {"Upgrade-Insecure-Requests", "1", R::Plain},
        {"Sec-Fetch-Dest", "document", R::FetchMetadata},
        {"Sec-Fetch-Mode", "navigate", R::FetchMetadata},
        {"Sec-Fetch-Site", "none", R::FetchMetadata},
        {"Sec-Fetch-User", "?1", R::FetchMetadata},
        // Firefox sends Priority on HTTP/1.1 as well; TE only on HTTP/2.
        {"Priority", "u=0, i", R::Plain},
        {"TE", "trailers", R::Http2Only},
    };
    p->insecure_accept_encoding = "gzip, deflate";
    // Non-exclusive on the root, weight 42 (153 capture).
    p->h2_weight = 42;
    p->h2_exclusive = false;
    // The same from 133 to 153 (captures).
    p->h2 = framing("1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s");
    p->websocket = WebSocketLayout::Firefox;
    p->websocket_accept_encoding = "gzip, deflate, br, zstd";
    TlsProfile& t = p->tls;
    t.tls13_ciphers = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
    t.tls12_ciphers =
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
        "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        "ECDHE-ECDSA-AES256-SHA:" + std::string(major >= 153 ? "" : "ECDHE-ECDSA-AES128-SHA:") +
        "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:AES256-SHA";
    t.groups = "X25519:P-256:P-384:P-521:ffdhe2048:ffdhe3072";
    t.sigalgs =
        "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:rsa_pss_rsae_sha256:rsa_pss_rsae_sha384:"
        "rsa_pss_rsae_sha512:RSA+SHA256:RSA+SHA384:RSA+SHA512";
    // Firefox ends the list with ECDSA+SHA1 and RSA+SHA1; OpenSSL withholds
    // SHA-1 signatures at any security level that also refuses SHA-1 certificates.
    t.session_ticket = true;
    t.status_request = true;
    t.signed_cert_timestamps = major > 133;
    t.ech_grease = true;
    t.ech_payload = 239;  // NSS's size for a first, unresumed hello (153 capture)
    t.record_size_limit = 16385;
    // On the Core's own BoringSSL: ML-KEM first with three key shares,
    // zlib, brotli and zstd certificate compression.
    t.pq_group = 0x11ec;
    t.p256_key_share = true;
    t.cert_compression = "\x01\x02\x03";
    t.sha1_sigalgs = true;  // BoringSSL sends them (TLS 1.3 still refuses SHA-1 signatures)
    // On the Core's own BoringSSL with patches of ours: NSS's TLS 1.3 suite
    // order, delegated credentials with Firefox's four algorithms, and
    // Firefox's fixed extension order (153 capture; pre_shared_key last).
    t.tls13_order = true;
    t.dc_sigalgs = "ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA512:ECDSA+SHA1";
    t.extension_order = {0, 23, 65281, 10, 11, 35, 16, 5, 34, 18, 51, 43, 13, 45, 28, 27, 65037};
    return p;
}

std::shared_ptr<BrowserProfile> safari_profile(std::string_view version) {
    auto p = std::make_shared<BrowserProfile>();
    p->family = BrowserFamily::Safari;
    p->major = 18;
    std::string name(version);
    for (char& c : name) c = c == '.' ? '_' : c;
    p->name = "safari_" + name;
    using R = HeaderRole;
    p->headers = {
        {"Sec-Fetch-Dest", "document", R::FetchMetadata},
        {"User-Agent",
         "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/" +
             std::string(version) + " Safari/605.1.15",
         R::UserAgent},
        {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", R::Plain},
        {"Sec-Fetch-Site", "none", R::FetchMetadata},
        {"Sec-Fetch-Mode", "navigate", R::FetchMetadata},
        {"Accept-Language", "en-US,en;q=0.9", R::AcceptLanguage},
        {"Priority", "u=0, i", R::Http2Only},
        {"Accept-Encoding", "gzip, deflate, br", R::AcceptEncoding},
    };
    p->insecure_accept_encoding = "gzip, deflate";
    TlsProfile& t = p->tls;
    t.tls13_ciphers = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
    t.tls12_ciphers =
        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
        "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305:"
        "ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA:ECDHE-RSA-AES128-SHA:"
        "AES256-GCM-SHA384:AES128-GCM-SHA256:AES256-SHA:AES128-SHA:ECDHE-ECDSA-DES-CBC3-SHA:"
        "ECDHE-RSA-DES-CBC3-SHA:DES-CBC3-SHA";
    t.groups = "X25519:P-256:P-384:P-521";
    t.sigalgs =
        "ECDSA+SHA256:rsa_pss_rsae_sha256:RSA+SHA256:ECDSA+SHA384:rsa_pss_rsae_sha384:RSA+SHA384:"
        "rsa_pss_rsae_sha512:RSA+SHA512";
    // Safari 18 still offers TLS 1.0 and 1.1 in supported_versions.
    t.min_version = 0x0301;
    t.session_ticket = false;
    t.status_request = true;
    t.signed_cert_timestamps = true;
    t.padding = true;
    t.grease = true;
    t.cert_compression = "\x01";  // zlib, on the Core's own BoringSSL
    // 18.0 also announced ENABLE_CONNECT_PROTOCOL; 18.4 no longer does.
    p->h2 = framing(version == "18.0" ? "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p"
                                      : "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p");
    return p;
}

struct Table {
    std::vector<std::string> names;
    std::map<std::string, std::shared_ptr<const BrowserProfile>, std::less<>> by_name;

    void add(std::shared_ptr<BrowserProfile> p) {
        names.push_back(p->name);
        by_name.emplace(p->name, std::move(p));
    }
};

const Table& table() {
    static const Table t = [] {
        Table out;
        for (int major = kFirstChromium; major <= kLastChromium; ++major)
            out.add(chromium_profile(BrowserFamily::Chrome, major));
        for (int major = kFirstChromium; major <= kLastChromium; ++major)
            out.add(chromium_profile(BrowserFamily::Edge, major));
        for (int major : {133, 135, 144, 153}) out.add(firefox_profile(major));
        for (std::string_view version : {"18.0", "18.4"}) out.add(safari_profile(version));
        return out;
    }();
    return t;
}

}  // namespace

std::shared_ptr<const BrowserProfile> find_profile(std::string_view name) {
    const auto& by_name = table().by_name;
    auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : it->second;
}

std::vector<std::string> profile_names() { return table().names; }

}  // namespace halyard
