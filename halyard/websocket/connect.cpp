// The way to an open WebSocket: the connect-only curl transfer (proxy and
// TLS exactly as the engine's requests have them), then the upgrade
// handshake written and read on that connection by hand.
#include <new>

#include "loop/clock.h"
#include "loop/engine.h"
#include "transport/transport_options.h"
#include "websocket/websocket.h"
#include "websocket/cookies.h"
#include "websocket/handshake.h"

namespace halyard {
namespace {

}  // namespace

CURLcode WebSocket::configure() {
    const EngineSettings& s = engine_->settings();
    CurlOptions o(easy_);
    o.set(CURLOPT_URL, spec_.http_url.c_str());
    o.set(CURLOPT_PROTOCOLS_STR, "http,https");
    // curl brings the connection up (proxy tunnel and TLS included) and
    // stops; the handshake is ours.  HTTP/1.1 keeps ALPN from picking h2.
    o.set(CURLOPT_CONNECT_ONLY, 1L);
    o.set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // A dedicated connection, never one from the pool.  (FORBID_REUSE
    // would close it as soon as the connect-only transfer is done; curl
    // never lends a connect-only connection to other transfers anyway.)
    o.set(CURLOPT_FRESH_CONNECT, 1L);
    o.set(CURLOPT_ERRORBUFFER, error_buffer_);
    o.set(CURLOPT_NOSIGNAL, 1L);
    // The proxy's CONNECT carries the engine's user agent, as a browser's does.
    o.set(CURLOPT_USERAGENT, std::string(engine_user_agent(s)).c_str());
    // Through an HTTP proxy, ws:// is tunnelled with CONNECT like wss://.
    o.set(CURLOPT_HTTPPROXYTUNNEL, 1L);
    apply_transport_options(o, easy_, s, engine_->share());
    return o.result();
}

void WebSocket::on_connected(CURLcode code) {
    if (phase_ != Phase::Connecting) return;
    guarded([&] {
        if (code != CURLE_OK) {
            fail(curl_failure(code));
            return;
        }
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(easy_, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
            fail({HY_NETWORK, -2, 0, "no socket after connecting"});
            return;
        }
        socket_ = socket;
        begin_handshake();
    });
}

void WebSocket::begin_handshake() {
    const EngineSettings& s = engine_->settings();
    HandshakeRequest q;
    q.target = spec_.target;
    q.host = spec_.host_header;
    q.origin = spec_.origin;
    q.user_agent = std::string(engine_user_agent(s));
    q.accept_language = s.accept_language;
    if (s.profile) {
        // A browser's upgrade always carries Origin: that of a page of the
        // target's own origin unless the caller names another.
        const bool trustworthy = spec_.secure || is_local_host(spec_.host);
        const std::string own = same_origin(spec_.secure, spec_.host_header);
        if (q.origin.empty()) q.origin = own;
        q.layout = s.profile->websocket;
        q.accept_encoding = trustworthy ? s.profile->websocket_accept_encoding
                                        : (s.profile->websocket_accept_encoding.empty() ? "" : "gzip, deflate");
        if (trustworthy) q.fetch_site = q.origin == own ? "same-origin" : "cross-site";
        if (q.accept_language.empty()) {
            for (const ProfileHeader& h : s.profile->headers)
                if (h.role == HeaderRole::AcceptLanguage) q.accept_language = h.value;
        }
    }
    q.cookie = cookie_header(jar_lines(easy_), spec_.host, spec_.target.substr(0, spec_.target.find('?')),
                             spec_.secure || is_local_host(spec_.host), now_seconds());
    key_ = make_websocket_key();
    q.key = key_;
    q.protocols = spec_.protocols;
    q.headers = spec_.headers;
    q.offer_deflate = deflate_offer_.enabled;
    // A caller's own offer replaces the browser's; the default leaves the
    // layout to write its browser's text.
    if (deflate_offer_ != DeflateOffer{}) q.deflate_offer = deflate_offer_.header();
    request_ = build_handshake_request(q);
    phase_ = Phase::Handshaking;
    // The connection stands: the connect limit is done, the handshake's
    // runs until the answer head is read.
    phase_deadline_ = deadline_after(handshake_ms_.load());
    on_socket_ready(CURL_WAIT_POLLOUT);
}

void WebSocket::read_handshake_answer() {
    if (read_buffer_.size() < 16384) read_buffer_.resize(16384);
    for (;;) {
        const std::optional<size_t> got = receive_some();
        if (!got) return;
        const size_t n = *got;
        if (n == 0) {
            if (answer_.empty()) {
                fail({HY_NETWORK, -324, 0, "the connection closed before any answer"});
            } else {
                fail({HY_NETWORK, -100, 0, "the connection closed during the handshake answer"});
            }
            return;
        }
        const size_t scanned = answer_.size() > 3 ? answer_.size() - 3 : 0;
        answer_.append(reinterpret_cast<const char*>(read_buffer_.data()), n);
        const size_t end = find_head_end(std::string_view(answer_).substr(scanned));
        if (end == std::string_view::npos) {
            if (answer_.size() > kMaxHandshakeAnswer) {
                fail({HY_PROTOCOL, -325, 0, "the handshake answer's head is too large"});
                return;
            }
            continue;
        }
        const size_t head_len = scanned + end;
        if (head_len > kMaxHandshakeAnswer) {
            fail({HY_PROTOCOL, -325, 0, "the handshake answer's head is too large"});
            return;
        }
        HandshakeResult result =
            check_handshake_answer(std::string_view(answer_).substr(0, head_len), key_, spec_.protocols,
                                   deflate_offer_.enabled);
        if (result.deflate) result.deflate = deflate_offer_.settle(*result.deflate);
        store_cookies(result.set_cookies);
        if (!result.ok) {
            fail({HY_PROTOCOL, result.net_error, result.status, std::move(result.error)});
            return;
        }
        open_connection(std::move(result.protocol), std::move(result.extensions), result.deflate, head_len);
        return;
    }
}

void WebSocket::store_cookies(const std::vector<std::string>& set_cookies) {
    const std::string path = spec_.target.substr(0, spec_.target.find('?'));
    for (const std::string& value : set_cookies) {
        auto line = jar_line_from_set_cookie(value, spec_.host, path, now_seconds());
        if (line) curl_easy_setopt(easy_, CURLOPT_COOKIELIST, line->c_str());
    }
}

void WebSocket::open_connection(std::string protocol, std::string extensions, std::optional<DeflateParams> deflate,
                                size_t head_len) {
    if (!session_.init(this, deflate)) throw std::bad_alloc();
    phase_ = Phase::Open;
    total_deadline_.reset();
    phase_deadline_.reset();
    // Bytes after the head are the first frames; they are read after the
    // open is reported.
    std::string early = answer_.substr(head_len);
    std::string().swap(answer_);
    std::string().swap(key_);
    open_.store(true);
    const auto& cb = spec_.callbacks;
    cb.on_open(cb.context, this, protocol.data(), protocol.size(), extensions.data(), extensions.size());
    if (phase_ != Phase::Open) return;
    if (!early.empty()) session_.receive(reinterpret_cast<const uint8_t*>(early.data()), early.size());
    // TLS may hold more decrypted data than the socket shows: read on.
    service(true);
}

}  // namespace halyard
