#include "websocket/handshake.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <stdexcept>

#include "http/head_block.h"

namespace halyard {
namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string base64(const unsigned char* data, size_t len) {
    std::string out(4 * ((len + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(len));
    out.resize(static_cast<size_t>(n));
    return out;
}

// True when the comma-separated list `value` holds `token` (any case).
bool list_has_token(std::string_view value, std::string_view token) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        if (iequals(trim(value.substr(start, comma - start)), token)) return true;
        start = comma + 1;
    }
    return false;
}

HandshakeResult fail(HandshakeResult r, int32_t net_error, std::string why) {
    r.ok = false;
    r.net_error = net_error;
    r.error = std::move(why);
    return r;
}

}  // namespace

std::string make_websocket_key() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes");
    return base64(bytes, sizeof bytes);
}

std::string websocket_accept(std::string_view key) {
    std::string text(key);
    text.append(kGuid);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return base64(digest, sizeof digest);
}

std::string same_origin(bool secure, std::string_view host_header) {
    return std::string(secure ? "https://" : "http://").append(host_header);
}

std::string build_handshake_request(const HandshakeRequest& q) {
    std::string out;
    out.reserve(640);
    auto line = [&](std::string_view name, std::string_view value) {
        out.append(name).append(": ").append(value).append("\r\n");
    };
    // Lines the caller's own header of the same name replaces.
    auto overridable = [&](std::string_view name, std::string_view value) {
        if (!value.empty() && !has_header(q.headers, name)) line(name, value);
    };
    auto protocols = [&] {
        if (q.protocols.empty()) return;
        std::string joined;
        for (const auto& p : q.protocols) {
            if (!joined.empty()) joined.append(", ");
            joined.append(p);
        }
        line("Sec-WebSocket-Protocol", joined);
    };
    out.append("GET ").append(q.target).append(" HTTP/1.1\r\n");
    line("Host", q.host);
    if (q.layout == WebSocketLayout::Firefox) {
        // Firefox 153 as captured; where it puts Cookie and the subprotocol
        // was not captured, they follow its own request lines.
        overridable("User-Agent", q.user_agent);
        overridable("Accept", "*/*");
        overridable("Accept-Language", q.accept_language);
        overridable("Accept-Encoding", q.accept_encoding);
        line("Sec-WebSocket-Version", "13");
        overridable("Origin", q.origin);
        protocols();
        if (q.offer_deflate)
            line("Sec-WebSocket-Extensions", q.deflate_offer.empty() ? "permessage-deflate" : q.deflate_offer);
        line("Sec-WebSocket-Key", q.key);
        if (!q.cookie.empty()) line("Cookie", q.cookie);
        line("Connection", "Upgrade");
        if (!q.fetch_site.empty()) {
            overridable("Sec-Fetch-Dest", "empty");
            overridable("Sec-Fetch-Mode", "websocket");
            overridable("Sec-Fetch-Site", q.fetch_site);
        }
        overridable("Pragma", "no-cache");
        overridable("Cache-Control", "no-cache");
        line("Upgrade", "websocket");
    } else {
        line("Connection", "Upgrade");
        overridable("Pragma", "no-cache");
        overridable("Cache-Control", "no-cache");
        overridable("User-Agent", q.user_agent);
        line("Upgrade", "websocket");
        overridable("Origin", q.origin);
        line("Sec-WebSocket-Version", "13");
        overridable("Accept-Encoding", q.accept_encoding);
        overridable("Accept-Language", q.accept_language);
        if (!q.cookie.empty()) line("Cookie", q.cookie);
        line("Sec-WebSocket-Key", q.key);
        if (q.offer_deflate)
            line("Sec-WebSocket-Extensions", q.deflate_offer.empty() ? kDeflateOffer : q.deflate_offer);
        protocols();
    }
    for (const Header& h : q.headers) line(h.name, h.value);
    out.append("\r\n");
    return out;
}

size_t find_head_end(std::string_view received) {
    // A bare LF ending is accepted as well, as HTTP clients do.
    for (size_t i = received.find('\n'); i != std::string_view::npos; i = received.find('\n', i + 1)) {
        if (i + 1 < received.size() && received[i + 1] == '\n') return i + 2;
        if (i + 2 < received.size() && received[i + 1] == '\r' && received[i + 2] == '\n') return i + 3;
    }
    return std::string_view::npos;
}

HandshakeResult check_handshake_answer(std::string_view head, std::string_view key,
                                       const std::vector<std::string>& offered, bool offered_deflate) {
    HandshakeResult r;
    const ParsedHead parsed = parse_head(head);
    const std::optional<int> status = parse_status_line(parsed.status_line);
    if (!status) return fail(r, -370, "the answer is not an HTTP/1.x response");
    r.status = *status;
    auto all = [&](std::string_view name) {
        std::vector<std::string_view> values;
        for (const auto& [n, v] : parsed.fields)
            if (iequals(n, name)) values.push_back(v);
        return values;
    };
    for (std::string_view cookie : all("Set-Cookie")) r.set_cookies.emplace_back(cookie);
    // Folded lines are not HTTP/1.1 any more: a handshake answer with one is
    // refused like any other malformed line.
    if (parsed.malformed || parsed.folded) return fail(r, -320, "malformed header line in the answer");
    if (r.status != 101) return fail(r, -320, "the server refused the handshake with status " + std::to_string(r.status));

    const auto upgrade = all("Upgrade");
    if (upgrade.size() != 1 || !iequals(upgrade[0], "websocket")) return fail(r, -320, "Upgrade is not websocket");
    const auto connection = all("Connection");
    if (std::none_of(connection.begin(), connection.end(), [](auto v) { return list_has_token(v, "Upgrade"); }))
        return fail(r, -320, "Connection does not name Upgrade");
    const auto accept = all("Sec-WebSocket-Accept");
    if (accept.size() != 1 || accept[0] != websocket_accept(key))
        return fail(r, -320, "Sec-WebSocket-Accept does not match the key");

    const auto protocol = all("Sec-WebSocket-Protocol");
    if (protocol.size() > 1) return fail(r, -320, "more than one Sec-WebSocket-Protocol");
    if (protocol.size() == 1) {
        if (std::find(offered.begin(), offered.end(), protocol[0]) == offered.end())
            return fail(r, -320, "the server selected a subprotocol that was not offered: " + std::string(protocol[0]));
        r.protocol = protocol[0];
    }

    std::string extensions;
    for (auto v : all("Sec-WebSocket-Extensions")) {
        if (v.empty()) continue;
        if (!extensions.empty()) extensions.append(", ");
        extensions.append(v);
    }
    if (!extensions.empty()) {
        if (!offered_deflate) return fail(r, -320, "the server accepted an extension that was not offered");
        ExtensionAnswer answer = parse_extension_answer(extensions);
        if (!answer.ok) return fail(r, -320, answer.error);
        r.deflate = answer.deflate;
    }
    r.extensions = std::move(extensions);
    r.ok = true;
    return r;
}

}  // namespace halyard
