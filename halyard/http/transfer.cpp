// Setting up one hop's curl transfer from the engine's settings and the
// request's current method, URL, headers and body.
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "cache/cache_policy.h"
#include "loop/engine.h"
#include "loop/connection_scheduler.h"
#include "http/request.h"
#include "transport/transport_options.h"

namespace halyard {
namespace {

long curl_http_version(uint32_t version) {
    switch (version) {
    case HY_HTTP_1_1: return CURL_HTTP_VERSION_1_1;
    // HTTP/2 over TLS (ALPN), HTTP/1.1 in clear text: browsers never offer
    // the h2c upgrade, and a server that takes it would answer 101 first.
    case HY_HTTP_2:
    // A TCP hop of an HTTP/3 engine (no QUIC there, or after a fallback)
    // negotiates like automatic mode; QUIC hops are set up apart.
    case HY_HTTP_3:
    case HY_HTTP_AUTO:
    default: return CURL_HTTP_VERSION_2TLS;
    }
}

bool sends_empty_body(const std::string& method) {
    return method == "POST" || method == "PUT" || method == "PATCH";
}

}  // namespace

curl_slist* Request::build_header_list(const HeaderList& headers) {
    curl_slist* list = nullptr;
    auto add = [&list](const Header& h) {
        // "Name;" is curl's way of sending a header with an empty value.
        const std::string line = h.value.empty() ? h.name + ";" : h.name + ": " + h.value;
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (next == nullptr) {
            curl_slist_free_all(list);
            throw std::bad_alloc();
        }
        list = next;
    };
    caller_cookies_.clear();
    for (const Header& h : headers) {
        if (iequals(h.name, "Cookie")) {
            if (h.value.empty()) continue;
            if (!caller_cookies_.empty()) caller_cookies_ += "; ";
            caller_cookies_ += h.value;
            continue;
        }
        add(h);
    }
    // A conditional request for the stored response being validated.
    if (validating_) {
        for (const Header& h : validation_headers(validating_->head)) add(h);
    }
    return list;
}

CURLcode Request::configure_transfer() {
    const EngineSettings& s = engine_->settings();
    CurlOptions o(easy_, *api_);
    o.set(CURLOPT_PRIVATE, static_cast<void*>(this));
    o.set(CURLOPT_URL, hop_url_.c_str());
    o.set(CURLOPT_PROTOCOLS_STR, "http,https");
    o.set(CURLOPT_ERRORBUFFER, error_buffer_);
    o.set(CURLOPT_NOSIGNAL, 1L);
    o.set(CURLOPT_FOLLOWLOCATION, 0L);  // redirects are the Core's own
    o.set(CURLOPT_HEADERFUNCTION, &Request::header_callback);
    o.set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    o.set(CURLOPT_WRITEFUNCTION, &Request::write_callback);
    o.set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (record_heads_.load()) {
        // Verbose mode only feeds the debug callback, which keeps the heads
        // sent; curl prints nothing itself once a callback is set.
        o.set(CURLOPT_DEBUGFUNCTION, &Request::debug_callback);
        o.set(CURLOPT_DEBUGDATA, static_cast<void*>(this));
        o.set(CURLOPT_VERBOSE, 1L);
    }
    // A profile's User-Agent is in the header list, in its place.
    if (!s.profile) o.set(CURLOPT_USERAGENT, s.user_agent.c_str());
    if (s.profile && spec_.priority == HY_PRIORITY_DEFAULT) {
        // The browser's own HEADERS priority: Chromium exclusive weight 256
        // on the root, Firefox non-exclusive 42.
        h2_weight_ = s.profile->h2_weight;
        h2_exclusive_ = s.profile->h2_exclusive;
    } else {
        // Exclusive, on the root: how Chrome sends its HEADERS priority.
        h2_weight_ = stream_weight(spec_.priority, s.profile != nullptr);
        h2_exclusive_ = true;
    }
    if (!quic_hop_) o.set(CURLOPT_HTTP_VERSION, curl_http_version(s.http_version));
    // Content decoding only when the caller left Accept-Encoding to the Core.
    if (!has_header(hop_headers_, "Accept-Encoding")) o.set(CURLOPT_ACCEPT_ENCODING, "");

    if (quic_hop_) configure_quic(o);
    else apply_transport_options(o, easy_, s, engine_->share());

    const bool head = hop_method_ == "HEAD";
    const bool streamed = hop_has_body_ && spec_.body_kind == HY_BODY_STREAM;
    bool post_style = false;
    if (head) {
        o.set(CURLOPT_NOBODY, 1L);
    } else if (streamed) {
        // Unknown length: chunked on HTTP/1.1, DATA frames on HTTP/2; a
        // declared one goes out as Content-Length (the writers are held
        // to it: upload_within_declared).
        o.set(CURLOPT_POST, 1L);
        o.set(CURLOPT_READFUNCTION, &Request::read_callback);
        o.set(CURLOPT_READDATA, static_cast<void*>(this));
        o.set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(declared_length_.load()));
        // curl's 64 KiB default makes a read callback, a chunk and a send
        // per 64 KiB; half the upload queue's limit takes a quarter of them.
        o.set(CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(UploadQueue::kDefaultLimit / 2));
        post_style = true;
    } else if (hop_has_body_ || sends_empty_body(hop_method_)) {
        static const char kEmpty[] = "";
        const bool bytes = hop_has_body_ && !spec_.body.empty();
        o.set(CURLOPT_POST, 1L);
        o.set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes ? spec_.body.size() : 0));
        o.set(CURLOPT_POSTFIELDS, bytes ? reinterpret_cast<const char*>(spec_.body.data()) : kEmpty);
        post_style = true;
    } else if (hop_method_ == "GET") {
        o.set(CURLOPT_HTTPGET, 1L);
    }
    // curl names the request after the options above (a body makes it a
    // POST); any other method, a GET with a body included, is set by name.
    if (!head && hop_method_ != (post_style ? "POST" : "GET")) o.set(CURLOPT_CUSTOMREQUEST, hop_method_.c_str());

    header_list_ = build_header_list(sent_headers_);
    if (!h1_headers_.empty()) h1_header_list_ = build_header_list(h1_headers_);
    if (post_style) {
        // curl's own additions to a POST that a browser does not make.
        auto suppress = [&](const char* name, const char* line) {
            if (has_header(hop_headers_, name)) return;
            for (curl_slist** list : {&header_list_, &h1_header_list_}) {
                if (*list == nullptr && list == &h1_header_list_) continue;
                curl_slist* next = curl_slist_append(*list, line);
                if (next == nullptr) throw std::bad_alloc();
                *list = next;
            }
        };
        suppress("Content-Type", "Content-Type:");
        suppress("Expect", "Expect:");
    }
    o.set(CURLOPT_HTTPHEADER, header_list_);
    // A QUIC hop has neither an HTTP/2 stream priority nor an HTTP/1.1
    // fallback list, and its easy handle belongs to the other libcurl.
    if (!quic_hop_) {
        o.set(CURLOPT_OPENSOCKETFUNCTION, &Request::open_socket_callback);
        o.set(CURLOPT_OPENSOCKETDATA, static_cast<void*>(this));
    }
    // The phase limits learn from the prerequisite callback that the
    // connection stands, and from the progress callback that body bytes left.
    if (!quic_hop_ && (h1_header_list_ != nullptr || h2_weight_ > 0 || deadlines_.watches_transfer())) {
        o.set(CURLOPT_PREREQFUNCTION, &Request::prereq_callback);
        o.set(CURLOPT_PREREQDATA, static_cast<void*>(this));
    } else if (quic_hop_ && deadlines_.watches_transfer()) {
        o.set(CURLOPT_PREREQFUNCTION, &Request::quic_prereq_callback);
        o.set(CURLOPT_PREREQDATA, static_cast<void*>(this));
    }
    if (hop_has_body_ && deadlines_.watches_transfer()) {
        o.set(CURLOPT_XFERINFOFUNCTION, &Request::progress_callback);
        o.set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
        o.set(CURLOPT_NOPROGRESS, 0L);
    }
    // After the jar's cookies on the same line; none clears a pooled
    // handle's previous value.  A QUIC hop's jar is the hub's, read by the
    // Core (request_quic.cpp), so its cookies lead the line here.
    if (quic_hop_ && !quic_jar_cookies_.empty())
        caller_cookies_ = caller_cookies_.empty() ? quic_jar_cookies_ : quic_jar_cookies_ + "; " + caller_cookies_;
    o.set(CURLOPT_COOKIE, caller_cookies_.empty() ? nullptr : caller_cookies_.c_str());
    return o.result();
}

curl_socket_t Request::open_socket_callback(void* self, curlsocktype, curl_sockaddr* address) {
    auto* r = static_cast<Request*>(self);
    const curl_socket_t fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd >= 0) r->hop_socket_ = fd;
    return fd >= 0 ? fd : CURL_SOCKET_BAD;
}

// The hop's last socket has a peer: its TCP connection (to the server or
// the proxy) was made.  curl keeps the socket open while it connects.
bool Request::hop_socket_connected() const {
    if (hop_socket_ == CURL_SOCKET_BAD) return false;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    return getpeername(hop_socket_, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

// Once connected (new or reused) and before the request goes out: the
// stream priority, and on a connection that did not negotiate h2 the
// HTTP/1.1 header list.  curl reads both only when it writes the request.
int Request::prereq_callback(void* self, char*, char*, int, int) {
    auto* r = static_cast<Request*>(self);
    return contain([&] { return r->apply_connected_settings(); }, [&](Fault fault) {
        if (!r->pending_failure_)
            r->pending_failure_ = map_cause(fault == Fault::OutOfMemory ? Cause::OutOfMemory : Cause::Internal);
        return static_cast<int>(CURL_PREREQFUNC_ABORT);
    });
}

int Request::apply_connected_settings() {
    Request* r = this;
    deadlines_.connected(hop_body_length_ != 0, Clock::now());

    if (r->h2_weight_ > 0) {
        curl_easy_setopt(r->easy_, CURLOPT_STREAM_WEIGHT, r->h2_weight_);
        if (r->h2_exclusive_) curl_easy_setopt(r->easy_, CURLOPT_STREAM_DEPENDS_E, static_cast<CURL*>(nullptr));
    }
    if (r->h1_header_list_ == nullptr) return CURL_PREREQFUNC_OK;
    const curl_tlssessioninfo* info = nullptr;
    bool h2 = false;
    if (curl_easy_getinfo(r->easy_, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
        info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr) {
        const unsigned char* alpn = nullptr;
        unsigned int len = 0;
        SSL_get0_alpn_selected(static_cast<SSL*>(info->internals), &alpn, &len);
        h2 = len == 2 && alpn[0] == 'h' && alpn[1] == '2';
    }
    if (!h2) {
        curl_easy_setopt(r->easy_, CURLOPT_HTTPHEADER, r->h1_header_list_);
        r->sent_headers_ = r->h1_headers_;
    }
    return CURL_PREREQFUNC_OK;
}

// A QUIC hop's connection stands: only the phase limits learn it (its
// handle belongs to the other libcurl, which the settings above are not for).
int Request::quic_prereq_callback(void* self, char*, char*, int, int) {
    auto* r = static_cast<Request*>(self);
    r->deadlines_.connected(r->hop_body_length_ != 0, Clock::now());
    return CURL_PREREQFUNC_OK;
}

// Body bytes the connection took: the write phase's progress; the whole
// body out ends it.  Bytes going out also mean the connection stands (a
// QUIC hop has no prerequisite callback).
int Request::progress_callback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* r = static_cast<Request*>(self);
    if (ulnow <= r->hop_sent_) return 0;
    r->hop_sent_ = ulnow;
    const auto now = Clock::now();
    r->deadlines_.connected(true, now);
    r->deadlines_.sent(r->hop_body_length_ >= 0 && ulnow >= r->hop_body_length_, now);
    return 0;
}

}  // namespace halyard
