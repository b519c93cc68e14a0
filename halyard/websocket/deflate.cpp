#include "websocket/deflate.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "halyard.h"
#include "text/header.h"

namespace halyard {
namespace {

constexpr uint8_t kTail[4] = {0x00, 0x00, 0xFF, 0xFF};

// Splits on `sep` outside quoted strings.
std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') quoted = !quoted;
        if (s[i] == sep && !quoted) {
            parts.push_back(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
    parts.push_back(trim(s.substr(start)));
    return parts;
}

// "8".."15", plain or quoted, without leading zeros.
std::optional<int> window_bits(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.empty() || value.size() > 2 || value[0] == '0') return std::nullopt;
    int n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 8 || n > 15) return std::nullopt;
    return n;
}

ExtensionAnswer refuse(std::string why) { return {false, std::nullopt, std::move(why)}; }

}  // namespace

std::string DeflateOffer::header() const {
    if (!enabled) return {};
    std::string out = "permessage-deflate";
    if (client_no_context_takeover) out += "; client_no_context_takeover";
    if (server_no_context_takeover) out += "; server_no_context_takeover";
    if (server_max_window_bits != 0) out += "; server_max_window_bits=" + std::to_string(server_max_window_bits);
    out += "; client_max_window_bits";
    if (client_max_window_bits != 0) out += "=" + std::to_string(client_max_window_bits);
    return out;
}

DeflateParams DeflateOffer::settle(DeflateParams answer) const {
    if (client_no_context_takeover) answer.client_no_context_takeover = true;
    if (client_max_window_bits != 0)
        answer.client_max_window_bits = std::min(answer.client_max_window_bits, client_max_window_bits);
    return answer;
}

std::optional<DeflateOffer> make_deflate_offer(uint32_t flags, uint32_t client_bits, uint32_t server_bits) {
    constexpr uint32_t kKnown = HY_DEFLATE_OFF | HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER | HY_DEFLATE_SERVER_NO_CONTEXT_TAKEOVER;
    auto bits_ok = [](uint32_t bits) { return bits == 0 || (bits >= 8 && bits <= 15); };
    if ((flags & ~kKnown) != 0 || !bits_ok(client_bits) || !bits_ok(server_bits)) return std::nullopt;
    DeflateOffer offer;
    if (flags & HY_DEFLATE_OFF) {
        // Off means no offer at all: parameters with it are a mistake.
        if (flags != HY_DEFLATE_OFF || client_bits != 0 || server_bits != 0) return std::nullopt;
        offer.enabled = false;
        return offer;
    }
    offer.client_no_context_takeover = (flags & HY_DEFLATE_CLIENT_NO_CONTEXT_TAKEOVER) != 0;
    offer.server_no_context_takeover = (flags & HY_DEFLATE_SERVER_NO_CONTEXT_TAKEOVER) != 0;
    offer.client_max_window_bits = static_cast<int>(client_bits);
    offer.server_max_window_bits = static_cast<int>(server_bits);
    return offer;
}

ExtensionAnswer parse_extension_answer(std::string_view value) {
    ExtensionAnswer answer;
    if (trim(value).empty()) return answer;
    for (std::string_view extension : split(value, ',')) {
        const auto params = split(extension, ';');
        if (!iequals(params[0], "permessage-deflate")) return refuse("extension not offered: " + std::string(params[0]));
        if (answer.deflate) return refuse("permessage-deflate accepted twice");
        DeflateParams p;
        bool seen[4] = {false, false, false, false};
        for (size_t i = 1; i < params.size(); ++i) {
            const std::string_view param = params[i];
            const size_t eq = param.find('=');
            const std::string_view name = trim(param.substr(0, eq));
            const std::optional<std::string_view> val =
                eq == std::string_view::npos ? std::nullopt : std::optional(trim(param.substr(eq + 1)));
            int index;
            if (iequals(name, "server_no_context_takeover")) {
                index = 0;
                if (val) return refuse("server_no_context_takeover with a value");
                p.server_no_context_takeover = true;
            } else if (iequals(name, "client_no_context_takeover")) {
                index = 1;
                if (val) return refuse("client_no_context_takeover with a value");
                p.client_no_context_takeover = true;
            } else if (iequals(name, "server_max_window_bits")) {
                index = 2;
                auto bits = val ? window_bits(*val) : std::nullopt;
                if (!bits) return refuse("invalid server_max_window_bits");
                p.server_max_window_bits = *bits;
            } else if (iequals(name, "client_max_window_bits")) {
                index = 3;
                auto bits = val ? window_bits(*val) : std::nullopt;
                if (!bits) return refuse("invalid client_max_window_bits");
                p.client_max_window_bits = *bits;
            } else {
                return refuse("unknown permessage-deflate parameter: " + std::string(name));
            }
            if (seen[index]) return refuse("repeated permessage-deflate parameter: " + std::string(name));
            seen[index] = true;
        }
        answer.deflate = p;
    }
    return answer;
}

// ------------------------------------------------------------- Deflater

Deflater::~Deflater() {
    if (stream_) {
        deflateEnd(stream_);
        delete stream_;
    }
}

bool Deflater::init(int window_bits, bool no_context_takeover, int level) {
    if (window_bits < 9 || window_bits > 15 || stream_) return false;
    auto* z = new z_stream{};
    // Negative window bits: a raw deflate stream, no zlib header.
    if (deflateInit2(z, level, Z_DEFLATED, -window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete z;
        return false;
    }
    stream_ = z;
    no_context_takeover_ = no_context_takeover;
    return true;
}

bool Deflater::compress(const uint8_t* data, size_t len, std::vector<uint8_t>& out) {
    if (!stream_) return false;
    if (len == 0) {
        // An empty message: one byte, which with the 00 00 FF FF put back
        // is an empty stored block.  (Flushing again with no input would
        // give zlib nothing to write.)
        out.assign(1, 0x00);
        return true;
    }
    out.resize(deflateBound(stream_, static_cast<uLong>(len)) + 16);
    stream_->next_in = const_cast<Bytef*>(data);
    stream_->avail_in = static_cast<uInt>(len);
    size_t produced = 0;
    // A sync flush ends the message on a byte boundary with an empty
    // stored block (00 00 FF FF), which the receiver puts back.
    for (;;) {
        if (produced == out.size()) out.resize(out.size() * 2);
        stream_->next_out = out.data() + produced;
        stream_->avail_out = static_cast<uInt>(out.size() - produced);
        const int rc = deflate(stream_, Z_SYNC_FLUSH);
        produced = out.size() - stream_->avail_out;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
        if (stream_->avail_in == 0 && stream_->avail_out != 0) break;
    }
    if (produced < 4 || !std::equal(kTail, kTail + 4, out.begin() + static_cast<long>(produced - 4))) return false;
    out.resize(produced - 4);
    if (no_context_takeover_ && deflateReset(stream_) != Z_OK) return false;
    return true;
}

// ------------------------------------------------------------- Inflater

Inflater::~Inflater() {
    if (stream_) {
        inflateEnd(stream_);
        delete stream_;
    }
}

bool Inflater::init(bool no_context_takeover) {
    if (stream_) return false;
    auto* z = new z_stream{};
    // The largest window reads every stream, whatever window the server
    // chose.
    if (inflateInit2(z, -15) != Z_OK) {
        delete z;
        return false;
    }
    stream_ = z;
    no_context_takeover_ = no_context_takeover;
    return true;
}

Inflater::Result Inflater::decompress(const uint8_t* data, size_t len, size_t limit, std::vector<uint8_t>& out) {
    if (!stream_) return Result::Corrupt;
    out.clear();
    size_t produced = 0;
    auto run = [&](const uint8_t* in, size_t in_len) -> std::optional<Result> {
        stream_->next_in = const_cast<Bytef*>(in);
        stream_->avail_in = static_cast<uInt>(in_len);
        for (;;) {
            if (produced == out.size()) {
                if (out.size() >= limit + 1) return Result::TooBig;
                out.resize(std::min<size_t>(limit + 1, std::max<size_t>(out.size() * 2, 16384)));
            }
            stream_->next_out = out.data() + produced;
            stream_->avail_out = static_cast<uInt>(out.size() - produced);
            const int rc = inflate(stream_, Z_SYNC_FLUSH);
            produced = out.size() - stream_->avail_out;
            if (produced > limit) return Result::TooBig;
            if (rc == Z_STREAM_END) {
                // A final block: the next message starts a new stream.
                if (inflateReset(stream_) != Z_OK) return Result::Corrupt;
                if (stream_->avail_in != 0) return Result::Corrupt;
                return std::nullopt;
            }
            if (rc == Z_BUF_ERROR && stream_->avail_in == 0 && stream_->avail_out != 0) return std::nullopt;
            if (rc != Z_OK && rc != Z_BUF_ERROR) return Result::Corrupt;
            if (stream_->avail_in == 0 && stream_->avail_out != 0) return std::nullopt;
        }
    };
    // zlib takes at most 4 GiB per call; messages are far smaller.
    if (auto r = run(data, len)) return *r;
    if (auto r = run(kTail, sizeof kTail)) return *r;
    out.resize(produced);
    if (no_context_takeover_ && inflateReset(stream_) != Z_OK) return Result::Corrupt;
    return Result::Ok;
}

}  // namespace halyard
