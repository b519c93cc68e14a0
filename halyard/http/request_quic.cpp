// A request's HTTP/3 side: whether a hop tries QUIC, how the QUIC library's
// transfer is set up (TLS verification, the hub's cookies, an advertised
// alternative), what its answer teaches the hub, and the fallback to TCP
// when QUIC fails before an answer.
#include <new>

#include "http/request.h"
#include "loop/clock.h"
#include "loop/engine.h"
#include "transport/transport_options.h"
#include "transport/tls.h"
#include "websocket/cookies.h"

namespace halyard {
namespace {

// How long a QUIC handshake may take before the hop goes over TCP.  UDP
// that is refused (an ICMP answer) fails at once; UDP that is dropped
// costs this much, once per origin until the broken mark expires.
constexpr long kQuicConnectTimeoutMs = 1000;

// The path of an absolute URL, without query or fragment ("/" if none).
std::string url_path(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (start == std::string::npos) return "/";
    const size_t end = url.find_first_of("?#", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string bracketed(const std::string& host) {
    return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

}  // namespace

bool Request::quic_wanted() const {
    const EngineSettings& s = engine_->settings();
    // HTTP and SOCKS proxies carry TCP only, and QUIC always runs over TLS.
    return s.http_version == HY_HTTP_3 && s.proxy.empty() && hop_https_ && !hop_host_.empty();
}

CURLM* Request::hop_multi() const { return quic_hop_ ? engine_->hub().quic_multi() : engine_->multi(); }

void Request::configure_quic(CurlOptions& o) {
    const EngineSettings& s = engine_->settings();
    o.set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_3ONLY));
    o.set(CURLOPT_CONNECTTIMEOUT_MS, kQuicConnectTimeoutMs);
    // The alternative's address, the origin's name for TLS and Host.
    if (connect_to_list_ != nullptr) {
        curl_slist_free_all(connect_to_list_);
        connect_to_list_ = nullptr;
    }
    if (quic_target_ && (quic_target_->host != hop_host_ || quic_target_->port != hop_port_)) {
        connect_to_ = bracketed(hop_host_) + ":" + hop_port_ + ":" + bracketed(quic_target_->host) + ":" +
                      quic_target_->port;
        connect_to_list_ = curl_slist_append(nullptr, connect_to_.c_str());
        if (connect_to_list_ == nullptr) throw std::bad_alloc();
        o.set(CURLOPT_CONNECT_TO, connect_to_list_);
    }
    // TLS: the same three modes as over TCP.  The profile's ClientHello is
    // OpenSSL's and does not apply: QUIC's TLS is GnuTLS's own.
    switch (s.tls_verify) {
    case HY_TLS_SYSTEM_ROOTS: break;
    case HY_TLS_CA_BUNDLE: {
        o.set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        o.set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        const TrustStore* trust = s.tls_setup.trust;
        // GnuTLS's curl takes no CA blob: the bundle goes in as a file.
        if (trust != nullptr && !trust->pem().empty()) {
            const std::string& path = trust->pem_path();
            if (path.empty()) o.check(CURLE_OUT_OF_MEMORY);
            else o.set(CURLOPT_CAINFO, path.c_str());
        }
        break;
    }
    case HY_TLS_NO_VERIFY:
        o.set(CURLOPT_SSL_VERIFYPEER, 0L);
        o.set(CURLOPT_SSL_VERIFYHOST, 0L);
        break;
    default: o.check(CURLE_BAD_FUNCTION_ARGUMENT);
    }
    apply_resolution_options(o, s.options, s.tls_verify != HY_TLS_NO_VERIFY);
    // Cookies come from the hub's jar (the QUIC library cannot use the
    // linked curl's share), chosen the way the jar chooses them.
    const std::string cookies =
        cookie_header(jar_lines(engine_->hub().jar_easy()), hop_host_, url_path(hop_url_), true, now_seconds());
    // The caller's own Cookie values join these on one line (transfer.cpp).
    quic_jar_cookies_ = cookies;
}

void Request::on_quic_head() {
    engine_->hub().quic_origins().mark_working(hop_origin_, *quic_target_);
    CURL* jar = engine_->hub().jar_easy();
    if (jar == nullptr) return;
    const std::string path = url_path(hop_url_);
    for (const std::string& value : head_.values("Set-Cookie")) {
        auto line = jar_line_from_set_cookie(value, hop_host_, path, now_seconds());
        if (line) curl_easy_setopt(jar, CURLOPT_COOKIELIST, line->c_str());
    }
}

void Request::note_alt_svc() {
    if (!quic_wanted()) return;
    const auto now = Clock::now();
    for (const std::string& value : head_.values("Alt-Svc"))
        engine_->hub().quic_origins().on_alt_svc(hop_origin_, hop_host_, value, now);
}

bool Request::fall_back_to_tcp(CURLcode code) {
    // Only a QUIC hop that failed before any answer, and before a streamed
    // body was read (it cannot be sent twice).  A certificate the QUIC side
    // refused would be refused over TCP as well: that failure is reported.
    if (!quic_hop_ || code == CURLE_OK || pending_failure_ || head_.started() || upload_read_) return false;
    if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE || code == CURLE_ABORTED_BY_CALLBACK)
        return false;
    engine_->hub().quic_origins().mark_broken(hop_origin_, *quic_target_, Clock::now());
    detach_transfer();
    tcp_only_next_ = true;
    begin_hop();
    return true;
}

}  // namespace halyard
