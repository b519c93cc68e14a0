// JA4 / JA3 on ClientHello bytes: the computation checked against Chrome's
// published JA4 on a hello built from Chrome's recorded contents, and the
// hello OpenSSL produces for a profile compared with the browser's.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <set>

#include "profile/browser_profile.h"
#include "support/client_hello.h"

namespace halyard {
namespace {

using halyard_test::ClientHello;
using halyard_test::ja3_string;
using halyard_test::ja4;
using halyard_test::parse_client_hello;

// ------------------------------------------------ a recorded Chrome hello

void put16(std::vector<uint8_t>& out, size_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xff));
}

// Appends byte by byte (gcc 12 warns falsely about range inserts here).
void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
    for (uint8_t b : more) out.push_back(b);
}

std::vector<uint8_t> extension(uint16_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    put16(out, type);
    put16(out, body.size());
    append(out, body);
    return out;
}

std::vector<uint8_t> u16_list(const std::vector<uint16_t>& values, bool one_byte_len = false) {
    std::vector<uint8_t> out;
    if (one_byte_len) out.push_back(static_cast<uint8_t>(values.size() * 2));
    else put16(out, values.size() * 2);
    for (uint16_t v : values) put16(out, v);
    return out;
}

const std::vector<uint16_t> kChromeCiphers = {0x1301, 0x1302, 0x1303, 0xc02b, 0xc02f, 0xc02c, 0xc030, 0xcca9,
                                              0xcca8, 0xc013, 0xc014, 0x009c, 0x009d, 0x002f, 0x0035};
const std::vector<uint16_t> kChromeSigalgs = {0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601};

// A ClientHello record with Chrome's contents (GREASE included) and the
// given extensions in that order; bodies are those the parser reads.
std::vector<uint8_t> chrome_hello(const std::vector<uint16_t>& ext_order) {
    std::vector<uint8_t> exts;
    for (uint16_t type : ext_order) {
        std::vector<uint8_t> body;
        switch (type) {
        case 0: body = {0x00, 0x0e, 0x00, 0x00, 0x0b, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm'}; break;
        case 10: body = u16_list({0x3a3a, 29, 23, 24}); break;
        case 11: body = {0x01, 0x00}; break;
        case 13: body = u16_list(kChromeSigalgs); break;
        case 16: body = {0x00, 0x0c, 0x02, 'h', '2', 0x08, 'h', 't', 't', 'p', '/', '1', '.', '1'}; break;
        case 43: body = u16_list({0x5a5a, 0x0304, 0x0303}, true); break;
        case 0xff01: body = {0x00}; break;
        case 51: body = {0x00, 0x00}; break;
        case 0x1a1a: break;
        default: break;
        }
        append(exts, extension(type, body));
    }
    std::vector<uint8_t> hello = {0x03, 0x03};
    append(hello, std::vector<uint8_t>(32, 0x11));  // random
    hello.push_back(32);
    append(hello, std::vector<uint8_t>(32, 0x22));  // session id
    std::vector<uint16_t> ciphers = {0x4a4a};
    for (uint16_t c : kChromeCiphers) ciphers.push_back(c);
    append(hello, u16_list(ciphers));
    hello.push_back(1);
    hello.push_back(0);
    put16(hello, exts.size());
    append(hello, exts);
    std::vector<uint8_t> record = {22, 0x03, 0x01};
    put16(record, hello.size() + 4);
    record.push_back(1);
    record.push_back(0);
    put16(record, hello.size());
    append(record, hello);
    return record;
}

struct PublishedCase {
    const char* name;
    std::vector<uint16_t> extensions;
    const char* ja4;
};

class PublishedJa4 : public ::testing::TestWithParam<PublishedCase> {};

TEST_P(PublishedJa4, ComputedFromChromesHelloContents) {
    auto hello = parse_client_hello(chrome_hello(GetParam().extensions));
    ASSERT_TRUE(hello);
    EXPECT_EQ(ja4(*hello), GetParam().ja4);
    // The extension order does not enter JA4: Chrome permutes it.
    auto reversed = GetParam().extensions;
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(ja4(*parse_client_hello(chrome_hello(reversed))), GetParam().ja4);
}

INSTANTIATE_TEST_SUITE_P(
    Chrome, PublishedJa4,
    ::testing::Values(
        PublishedCase{"v99_118_padded",
                      {0x1a1a, 0, 23, 0xff01, 10, 11, 35, 16, 5, 13, 18, 51, 45, 43, 27, 17513, 0x2a2a, 21},
                      "t13d1516h2_8daaf6152771_e5627efa2ab1"},
        PublishedCase{"v120_ech",
                      {0x1a1a, 0, 23, 0xff01, 10, 11, 35, 16, 5, 13, 18, 51, 45, 43, 27, 17513, 65037, 0x2a2a},
                      "t13d1516h2_8daaf6152771_02713d6af862"},
        PublishedCase{"v119_123_padded",
                      {0x1a1a, 0, 23, 0xff01, 10, 11, 35, 16, 5, 13, 18, 51, 45, 43, 27, 17513, 65037, 0x2a2a, 21},
                      "t13d1517h2_8daaf6152771_b1ff8ab2d16f"}),
    [](const auto& info) { return info.param.name; });

TEST(ClientHelloParser, RefusesWhatIsNoClientHello) {
    auto good = chrome_hello({0, 10, 13});
    EXPECT_TRUE(parse_client_hello(good));
    auto truncated = good;
    truncated.resize(truncated.size() - 3);
    EXPECT_FALSE(parse_client_hello(truncated));
    auto server_hello = good;
    server_hello[5] = 2;
    EXPECT_FALSE(parse_client_hello(server_hello));
    EXPECT_FALSE(parse_client_hello({}));
}

TEST(ClientHelloParser, Ja3SkipsGrease) {
    auto hello = parse_client_hello(chrome_hello({0x1a1a, 0, 10, 11, 0x2a2a}));
    ASSERT_TRUE(hello);
    EXPECT_EQ(ja3_string(*hello),
              "771,4865-4866-4867-49195-49199-49196-49200-52393-52392-49171-49172-156-157-47-53,0-10-11,29-23-24,0");
}

// ------------------------------------------------ what the TLS library sends

// The first flight of a client context set up for `profile`, SNI
// example.com, ALPN h2 and http/1.1 (as curl offers them).
std::vector<uint8_t> profile_hello(const TlsProfile& profile) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    EXPECT_TRUE(apply_tls_profile(ctx.get(), profile));
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    SSL_set_tlsext_host_name(ssl.get(), "example.com");
    static const unsigned char kAlpn[] = "\x02h2\x08http/1.1";
    SSL_set_alpn_protos(ssl.get(), kAlpn, sizeof kAlpn - 1);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl.get(), in, out);
    EXPECT_EQ(SSL_connect(ssl.get()), -1);  // waits for the ServerHello
    char* data = nullptr;
    const long len = BIO_get_mem_data(out, &data);
    return std::vector<uint8_t>(data, data + len);
}

std::vector<uint16_t> without_grease(const std::vector<uint16_t>& values) {
    std::vector<uint16_t> out;
    for (uint16_t v : values) {
        if (!halyard_test::is_grease(v)) out.push_back(v);
    }
    return out;
}

#ifndef OPENSSL_IS_BORINGSSL

TEST(ProfileHello, ChromeMatchesWhereOpenSslCan) {
    auto p = find_profile("chrome_120");
    auto hello = parse_client_hello(profile_hello(p->tls));
    ASSERT_TRUE(hello);
    // Chrome's 15 suites in Chrome's order, then the renegotiation SCSV
    // OpenSSL 3.0 always appends.
    auto ciphers = kChromeCiphers;
    ciphers.push_back(0x00ff);
    EXPECT_EQ(hello->ciphers, ciphers);
    EXPECT_EQ(hello->sigalgs, kChromeSigalgs);
    EXPECT_EQ(hello->groups, (std::vector<uint16_t>{29, 23, 24}));
    EXPECT_EQ(hello->alpn, (std::vector<std::string>{"h2", "http/1.1"}));
    EXPECT_EQ(without_grease(hello->supported_versions), (std::vector<uint16_t>{0x0304, 0x0303}));
    EXPECT_EQ(hello->key_shares, 1u);
    // One GREASE extension first, then ECH GREASE, then OpenSSL's own in
    // its fixed order (Chrome: 0 23 65281 10 11 35 16 5 13 18 51 45 43 27
    // 17513 65037, permuted per connection from 110).
    ASSERT_GE(hello->extensions.size(), 2u);
    EXPECT_TRUE(halyard_test::is_grease(hello->extensions[0]));
    auto exts = without_grease(hello->extensions);
    // Padding (last) only when the hello would be 256-511 bytes, which
    // depends on the ECH GREASE length drawn for this hello.
    const bool padded = !exts.empty() && exts.back() == 21;
    if (padded) exts.pop_back();
    const std::vector<uint16_t> expected = {65037, 0, 11, 10, 35, 5, 16, 18, 23, 13, 43, 45, 51};
    EXPECT_EQ(exts, expected);
    // Removing the SCSV gives Chrome's cipher hash; the extension hash
    // differs (no 65281, 27 or ALPS).
    const std::string measured = ja4(*hello);
    EXPECT_EQ(measured.substr(0, 10), padded ? "t13d1614h2" : "t13d1613h2") << measured;
    ClientHello no_scsv = *hello;
    no_scsv.ciphers.pop_back();
    EXPECT_EQ(ja4(no_scsv).substr(0, 23), padded ? "t13d1514h2_8daaf6152771" : "t13d1513h2_8daaf6152771")
        << ja4(no_scsv);
    std::cout << "chrome_120 JA4 " << measured << "\nchrome_120 JA3 " << ja3_string(*hello) << " = "
              << halyard_test::md5_hex(ja3_string(*hello)) << "\n";
}

TEST(ProfileHello, EveryProfileBuildsAHello) {
    for (const std::string& name : profile_names()) {
        auto hello = parse_client_hello(profile_hello(find_profile(name)->tls));
        ASSERT_TRUE(hello) << name;
        const bool has_encrypt_then_mac = std::count(hello->extensions.begin(), hello->extensions.end(), 22) > 0;
        const bool has_pha = std::count(hello->extensions.begin(), hello->extensions.end(), 49) > 0;
        EXPECT_FALSE(has_encrypt_then_mac) << name;
        EXPECT_FALSE(has_pha) << name;
    }
}

TEST(ProfileHello, FirefoxAndSafariSpecifics) {
    auto firefox = parse_client_hello(profile_hello(find_profile("firefox_144")->tls));
    ASSERT_TRUE(firefox);
    EXPECT_EQ(firefox->groups, (std::vector<uint16_t>{29, 23, 24, 25, 256, 257}));
    EXPECT_EQ(std::vector<uint16_t>(firefox->ciphers.begin(), firefox->ciphers.begin() + 3),
              (std::vector<uint16_t>{0x1301, 0x1303, 0x1302}));
    EXPECT_EQ(std::count(firefox->extensions.begin(), firefox->extensions.end(), 28), 1);
    EXPECT_EQ(std::count(firefox->extensions.begin(), firefox->extensions.end(), 18), 1);
    auto firefox133 = parse_client_hello(profile_hello(find_profile("firefox_133")->tls));
    EXPECT_EQ(std::count(firefox133->extensions.begin(), firefox133->extensions.end(), 18), 0);

    auto safari = parse_client_hello(profile_hello(find_profile("safari_18_4")->tls));
    ASSERT_TRUE(safari);
    EXPECT_EQ(std::count(safari->extensions.begin(), safari->extensions.end(), 35), 0);
    EXPECT_EQ(safari->ciphers[3], 0xc02c);
}

#else  // the Core's own BoringSSL

struct ChromeCase {
    const char* profile;
    std::vector<const char*> ja4;  // the browser's: unpadded, then padded where it pads
    uint16_t pq_group;
    uint16_t alps;
    bool permuted;
    bool grease_sigalg;
};

class ChromeHello : public ::testing::TestWithParam<ChromeCase> {};

// The browser's JA4 (README's profile table), its GREASE in all six
// places, its key shares and ALPS codepoint, the extension order shuffled
// per connection where the browser shuffles it.
TEST_P(ChromeHello, IsTheBrowsers) {
    const ChromeCase& c = GetParam();
    auto profile = find_profile(c.profile);
    ASSERT_TRUE(profile);
    std::set<std::vector<uint16_t>> orders;
    for (int i = 0; i < 12; ++i) {
        auto hello = parse_client_hello(profile_hello(profile->tls));
        ASSERT_TRUE(hello);
        const std::string got = ja4(*hello);
        EXPECT_TRUE(std::find(c.ja4.begin(), c.ja4.end(), got) != c.ja4.end()) << c.profile << " " << got;
        auto ciphers = without_grease(hello->ciphers);
        EXPECT_EQ(ciphers, kChromeCiphers);
        EXPECT_TRUE(halyard_test::is_grease(hello->ciphers.at(0)));
        EXPECT_TRUE(halyard_test::is_grease(hello->groups.at(0)));
        EXPECT_TRUE(halyard_test::is_grease(hello->supported_versions.at(0)));
        ASSERT_FALSE(hello->key_share_groups.empty());
        EXPECT_TRUE(halyard_test::is_grease(hello->key_share_groups[0]));
        EXPECT_TRUE(halyard_test::is_grease(hello->extensions.front()));
        auto exts = hello->extensions;
        if (exts.back() == 21) exts.pop_back();
        EXPECT_TRUE(halyard_test::is_grease(exts.back()));
        EXPECT_EQ(halyard_test::is_grease(hello->sigalgs.at(0)), c.grease_sigalg);
        std::vector<uint16_t> shares = {SSL_GROUP_X25519};
        if (c.pq_group != 0) shares.insert(shares.begin(), c.pq_group);
        EXPECT_EQ(without_grease(hello->key_share_groups), shares);
        EXPECT_EQ(std::count(exts.begin(), exts.end(), c.alps), 1) << c.alps;
        EXPECT_EQ(std::count(exts.begin(), exts.end(), 27), 1);
        EXPECT_EQ(std::count(exts.begin(), exts.end(), 0xff01), 1);
        orders.insert(without_grease(exts));
    }
    EXPECT_EQ(orders.size() > 1, c.permuted) << orders.size();
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ChromeHello,
    ::testing::Values(
        ChromeCase{"chrome_100", {"t13d1515h2_8daaf6152771_f37e75b10bcc", "t13d1516h2_8daaf6152771_e5627efa2ab1"},
                   0, 17513, false, false},
        ChromeCase{"chrome_116", {"t13d1515h2_8daaf6152771_f37e75b10bcc", "t13d1516h2_8daaf6152771_e5627efa2ab1"},
                   0, 17513, true, false},
        ChromeCase{"chrome_120", {"t13d1516h2_8daaf6152771_02713d6af862", "t13d1517h2_8daaf6152771_b1ff8ab2d16f"},
                   0, 17513, true, false},
        ChromeCase{"edge_124", {"t13d1516h2_8daaf6152771_02713d6af862"}, 0x6399, 17513, true, false},
        ChromeCase{"chrome_131", {"t13d1516h2_8daaf6152771_02713d6af862"}, 0x11ec, 17513, true, false},
        ChromeCase{"chrome_146", {"t13d1516h2_8daaf6152771_d8a2da3f94cd"}, 0x11ec, 17613, true, false},
        ChromeCase{"edge_150", {"t13d1516h2_8daaf6152771_806a8c22fdea"}, 0x11ec, 17613, true, false},
        ChromeCase{"chrome_156", {"t13d1517h2_8daaf6152771_cb7bf5808d99"}, 0x11ec, 17613, true, true},
        ChromeCase{"edge_156", {"t13d1517h2_8daaf6152771_cb7bf5808d99"}, 0x11ec, 17613, true, true}),
    [](const auto& info) { return std::string(info.param.profile); });

// ALPS carries the browser's HTTP/2 SETTINGS, as its SETTINGS frame does.
TEST(ProfileHello, AlpsPayloadIsTheBrowsersSettings) {
    auto p = find_profile("chrome_156");
    const std::string expected("\x00\x01\x00\x01\x00\x00\x00\x02\x00\x00\x00\x00\x00\x04\x00\x60\x00\x00"
                               "\x00\x06\x00\x04\x00\x00",
                               24);
    EXPECT_EQ(p->tls.alps_settings, expected);
    EXPECT_EQ(find_profile("chrome_100")->tls.alps_settings.size(), 24u);  // 1, 3, 4, 6
}

TEST(ProfileHello, EveryProfileBuildsAHello) {
    for (const std::string& name : profile_names()) {
        auto hello = parse_client_hello(profile_hello(find_profile(name)->tls));
        ASSERT_TRUE(hello) << name;
        EXPECT_EQ(std::count(hello->extensions.begin(), hello->extensions.end(), 22), 0) << name;
        EXPECT_EQ(std::count(hello->extensions.begin(), hello->extensions.end(), 49), 0) << name;
        std::cout << name << " JA4 " << ja4(*hello) << "\n";
    }
}

struct FirefoxCase {
    const char* profile;
    const char* ja4;  // the browser's (README's profile table)
    std::vector<uint16_t> ciphers;
    std::vector<uint16_t> extensions;
};

class FirefoxHello : public ::testing::TestWithParam<FirefoxCase> {};

// The browser's JA4, and its suites, extensions, groups and key shares in
// its own fixed order on every hello (patches of ours: NSS's TLS 1.3 suite
// order, the fixed extension order, record_size_limit, delegated
// credentials, the finite-field groups).
TEST_P(FirefoxHello, IsTheBrowsers) {
    const FirefoxCase& c = GetParam();
    auto profile = find_profile(c.profile);
    ASSERT_TRUE(profile);
    for (int i = 0; i < 4; ++i) {
        auto hello = parse_client_hello(profile_hello(profile->tls));
        ASSERT_TRUE(hello);
        EXPECT_EQ(ja4(*hello), c.ja4) << c.profile;
        EXPECT_EQ(hello->ciphers, c.ciphers) << c.profile;
        EXPECT_EQ(hello->extensions, c.extensions) << c.profile;
        EXPECT_EQ(hello->groups, (std::vector<uint16_t>{0x11ec, 29, 23, 24, 25, 256, 257}));
        EXPECT_EQ(hello->key_share_groups, (std::vector<uint16_t>{0x11ec, 29, 23}));
        EXPECT_EQ(hello->sigalgs, (std::vector<uint16_t>{0x0403, 0x0503, 0x0603, 0x0804, 0x0805, 0x0806, 0x0401,
                                                         0x0501, 0x0601, 0x0203, 0x0201}));
    }
}

const std::vector<uint16_t> kFirefox153Ciphers = {0x1301, 0x1303, 0x1302, 0xc02b, 0xc02f, 0xcca9, 0xcca8, 0xc02c,
                                                  0xc030, 0xc00a, 0xc013, 0xc014, 0x009c, 0x009d, 0x002f, 0x0035};
// Before 153 also ECDHE-ECDSA-AES128-SHA (0xc009).
const std::vector<uint16_t> kFirefoxCiphers = {0x1301, 0x1303, 0x1302, 0xc02b, 0xc02f, 0xcca9, 0xcca8, 0xc02c, 0xc030,
                                               0xc00a, 0xc009, 0xc013, 0xc014, 0x009c, 0x009d, 0x002f, 0x0035};
const std::vector<uint16_t> kFirefoxExtensions = {0,  23, 65281, 10, 11, 35, 16, 5,    34,
                                                  18, 51, 43,    13, 45, 28, 27, 65037};
std::vector<uint16_t> without(std::vector<uint16_t> values, uint16_t value) {
    values.erase(std::remove(values.begin(), values.end(), value), values.end());
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, FirefoxHello,
    ::testing::Values(
        FirefoxCase{"firefox_153", "t13d1617h2_86a278354501_3cbfd9057e0d", kFirefox153Ciphers, kFirefoxExtensions},
        FirefoxCase{"firefox_144", "t13d1717h2_5b57614c22b0_3cbfd9057e0d", kFirefoxCiphers, kFirefoxExtensions},
        FirefoxCase{"firefox_135", "t13d1717h2_5b57614c22b0_3cbfd9057e0d", kFirefoxCiphers, kFirefoxExtensions},
        // 133 sent no SCT request.
        FirefoxCase{"firefox_133", "t13d1716h2_5b57614c22b0_eeeea6562960", kFirefoxCiphers,
                    without(kFirefoxExtensions, 18)}),
    [](const auto& info) { return std::string(info.param.profile); });

TEST(ProfileHello, SafariSpecifics) {
    auto safari = parse_client_hello(profile_hello(find_profile("safari_18_4")->tls));
    ASSERT_TRUE(safari);
    EXPECT_EQ(std::count(safari->extensions.begin(), safari->extensions.end(), 35), 0);
    EXPECT_EQ(without_grease(safari->supported_versions), (std::vector<uint16_t>{0x0304, 0x0303, 0x0302, 0x0301}));
}

#endif  // OPENSSL_IS_BORINGSSL

}  // namespace
}  // namespace halyard
