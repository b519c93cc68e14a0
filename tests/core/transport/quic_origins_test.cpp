// Where QUIC is tried: Alt-Svc parsing, the per-origin memory, broken
// marks and their back-off; and GnuTLS's certificate verdicts in the
// error table's terms.
#include <gtest/gtest.h>

#include <openssl/x509_vfy.h>

#include "transport/curl_api.h"
#include "transport/curl_facts.h"
#include "transport/quic_origins.h"

namespace halyard {
namespace {

using namespace std::chrono_literals;

struct AltSvcCase {
    const char* value;
    bool clear;
    std::optional<QuicTarget> target;
    long max_age;
};

class AltSvcParse : public ::testing::TestWithParam<AltSvcCase> {};

TEST_P(AltSvcParse, FirstH3Alternative) {
    const AltSvcCase& c = GetParam();
    AltSvcH3 got = parse_alt_svc_h3(c.value, "origin.test");
    EXPECT_EQ(got.clear, c.clear);
    EXPECT_EQ(got.target, c.target);
    if (c.target) {
        EXPECT_EQ(got.max_age.count(), c.max_age);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, AltSvcParse,
    ::testing::Values(
        AltSvcCase{"h3=\":443\"", false, QuicTarget{"origin.test", "443", true}, 86400},
        AltSvcCase{"h3=\":8443\"; ma=60", false, QuicTarget{"origin.test", "8443", true}, 60},
        AltSvcCase{"h3=\"alt.test:9000\"; ma=3600; persist=1", false, QuicTarget{"alt.test", "9000", true}, 3600},
        AltSvcCase{"h3=\"[::1]:4433\"", false, QuicTarget{"::1", "4433", true}, 86400},
        // Drafts and other protocols are skipped for the first real h3.
        AltSvcCase{"h3-29=\":1111\", h2=\":2222\", h3=\":3333\"; ma=10", false, QuicTarget{"origin.test", "3333", true}, 10},
        AltSvcCase{"h3=\":443\"; ma=99999999999", false, QuicTarget{"origin.test", "443", true}, 365L * 86400},
        AltSvcCase{"h3=\":443\"; ma=ten", false, QuicTarget{"origin.test", "443", true}, 86400},
        AltSvcCase{"clear", true, std::nullopt, 0},
        AltSvcCase{" clear ", true, std::nullopt, 0},
        AltSvcCase{"h2=\":443\"", false, std::nullopt, 0},
        AltSvcCase{"h3=\"origin.test\"", false, std::nullopt, 0},
        AltSvcCase{"h3=\":0\"", false, std::nullopt, 0},
        AltSvcCase{"h3=\":123456\"", false, std::nullopt, 0},
        AltSvcCase{"h3=\":44a\"", false, std::nullopt, 0},
        AltSvcCase{"", false, std::nullopt, 0},
        // A comma inside quotes does not split the list.
        AltSvcCase{"h2=\"a,b:1\", h3=\":7\"", false, QuicTarget{"origin.test", "7", true}, 86400}));

const std::string kOrigin = "https://origin.test:443";

TEST(QuicOrigins, OwnPlaceUntilAdvertisedThenTheAlternativeUntilItExpires) {
    QuicOrigins q;
    const auto t0 = QuicOrigins::Clock::now();
    EXPECT_EQ(q.target(kOrigin, "origin.test", "443", t0), (QuicTarget{"origin.test", "443", false}));
    q.on_alt_svc(kOrigin, "origin.test", "h3=\":8443\"; ma=60", t0);
    EXPECT_EQ(q.target(kOrigin, "origin.test", "443", t0 + 59s), (QuicTarget{"origin.test", "8443", true}));
    EXPECT_EQ(q.target(kOrigin, "origin.test", "443", t0 + 61s), (QuicTarget{"origin.test", "443", false}));
    // Another origin is not affected.
    EXPECT_EQ(q.target("https://other.test:443", "other.test", "443", t0)->port, "443");
}

TEST(QuicOrigins, ClearAndZeroMaxAgeForget) {
    for (const char* forget : {"clear", "h3=\":8443\"; ma=0"}) {
        QuicOrigins q;
        const auto t0 = QuicOrigins::Clock::now();
        q.on_alt_svc(kOrigin, "origin.test", "h3=\":8443\"", t0);
        q.on_alt_svc(kOrigin, "origin.test", forget, t0);
        EXPECT_EQ(q.target(kOrigin, "origin.test", "443", t0)->port, "443") << forget;
    }
}

TEST(QuicOrigins, BrokenMarkBacksOffAndSuccessClearsIt) {
    QuicOrigins q;
    const auto t0 = QuicOrigins::Clock::now();
    const QuicTarget own{"origin.test", "443", false};
    q.mark_broken(kOrigin, own, t0);
    EXPECT_FALSE(q.target(kOrigin, "origin.test", "443", t0 + 4min));
    EXPECT_TRUE(q.target(kOrigin, "origin.test", "443", t0 + 5min + 1s));
    // A second failure in a row doubles the time.
    const auto t1 = t0 + 6min;
    q.mark_broken(kOrigin, own, t1);
    EXPECT_FALSE(q.target(kOrigin, "origin.test", "443", t1 + 9min));
    EXPECT_TRUE(q.target(kOrigin, "origin.test", "443", t1 + 10min + 1s));
    // An advertised alternative elsewhere is tried despite the mark.
    q.on_alt_svc(kOrigin, "origin.test", "h3=\":8443\"", t1);
    EXPECT_EQ(q.target(kOrigin, "origin.test", "443", t1)->port, "8443");
    q.mark_working(kOrigin, own);
    q.on_alt_svc(kOrigin, "origin.test", "clear", t1);
    EXPECT_TRUE(q.target(kOrigin, "origin.test", "443", t1));
}

TEST(QuicOrigins, MemoryIsBounded) {
    QuicOrigins q;
    const auto t0 = QuicOrigins::Clock::now();
    for (int i = 0; i < 3 * static_cast<int>(QuicOrigins::kMaxEntries); ++i) {
        const std::string origin = "https://h" + std::to_string(i) + ".test:443";
        q.on_alt_svc(origin, "h.test", "h3=\":8443\"", t0);
        q.mark_broken(origin, QuicTarget{"h.test", "443", false}, t0);
    }
    EXPECT_LE(q.size(), 2 * QuicOrigins::kMaxEntries);
}

struct VerdictCase {
    long gnutls_status;
    long x509;
};

class GnutlsVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(GnutlsVerdict, MapsToTheTablesTerms) {
    EXPECT_EQ(x509_result_from_gnutls(GetParam().gnutls_status), GetParam().x509);
}

// INVALID (1 << 1) comes with every specific reason.
INSTANTIATE_TEST_SUITE_P(Values, GnutlsVerdict,
                         ::testing::Values(VerdictCase{0, X509_V_OK},
                                           VerdictCase{(1 << 1) | (1 << 6), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
                                           VerdictCase{(1 << 1) | (1 << 7), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
                                           VerdictCase{(1 << 1) | (1 << 10), X509_V_ERR_CERT_HAS_EXPIRED},
                                           VerdictCase{(1 << 1) | (1 << 9), X509_V_ERR_CERT_NOT_YET_VALID},
                                           VerdictCase{(1 << 1) | (1 << 14), X509_V_ERR_HOSTNAME_MISMATCH},
                                           VerdictCase{(1 << 1) | (1 << 5), X509_V_ERR_UNSPECIFIED}));

// The machine's set-up installs the HTTP/3 library; a missing one is a
// set-up fault, not a reason to skip.
TEST(QuicLibrary, LoadsWithHttp3) {
    ASSERT_NE(quic_curl(), nullptr) << quic_unavailable_reason();
    EXPECT_NE(quic_curl_version().find("ngtcp2"), std::string::npos) << quic_curl_version();
}

}  // namespace
}  // namespace halyard
