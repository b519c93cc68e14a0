#include "client_hello.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>

namespace halyard_test {
namespace {

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool u8(uint8_t& v) {
        if (n_ < 1) return false;
        v = *p_;
        skip(1);
        return true;
    }
    bool u16(uint16_t& v) {
        if (n_ < 2) return false;
        v = static_cast<uint16_t>(p_[0] << 8 | p_[1]);
        skip(2);
        return true;
    }
    bool u24(uint32_t& v) {
        if (n_ < 3) return false;
        v = static_cast<uint32_t>(p_[0] << 16 | p_[1] << 8 | p_[2]);
        skip(3);
        return true;
    }
    // A sub-reader over the next `len` bytes.
    bool sub(size_t len, Reader& out) {
        if (n_ < len) return false;
        out = Reader(p_, len);
        skip(len);
        return true;
    }
    bool empty() const { return n_ == 0; }
    const uint8_t* data() const { return p_; }
    size_t size() const { return n_; }

private:
    void skip(size_t k) {
        p_ += k;
        n_ -= k;
    }
    const uint8_t* p_;
    size_t n_;
};

bool u16_list(Reader& r, size_t len_bytes, std::vector<uint16_t>& out) {
    uint16_t len16 = 0;
    uint8_t len8 = 0;
    size_t len = 0;
    if (len_bytes == 1) {
        if (!r.u8(len8)) return false;
        len = len8;
    } else {
        if (!r.u16(len16)) return false;
        len = len16;
    }
    Reader list(nullptr, 0);
    if (!r.sub(len, list)) return false;
    uint16_t v = 0;
    while (list.u16(v)) out.push_back(v);
    return list.empty();
}

bool parse_extension(uint16_t type, Reader body, ClientHello& h) {
    switch (type) {
    case 0: {  // server_name: list of (type, name)
        uint16_t list_len = 0, name_len = 0;
        uint8_t name_type = 0;
        Reader name(nullptr, 0);
        if (!body.u16(list_len) || !body.u8(name_type) || !body.u16(name_len) || !body.sub(name_len, name))
            return false;
        h.server_name.assign(reinterpret_cast<const char*>(name.data()), name.size());
        return true;
    }
    case 10: return u16_list(body, 2, h.groups);
    case 11: {
        uint8_t len = 0;
        Reader list(nullptr, 0);
        if (!body.u8(len) || !body.sub(len, list)) return false;
        h.point_formats.assign(list.data(), list.data() + list.size());
        return true;
    }
    case 13: return u16_list(body, 2, h.sigalgs);
    case 16: {
        uint16_t len = 0;
        Reader list(nullptr, 0);
        if (!body.u16(len) || !body.sub(len, list)) return false;
        uint8_t n = 0;
        Reader proto(nullptr, 0);
        while (list.u8(n) && list.sub(n, proto))
            h.alpn.emplace_back(reinterpret_cast<const char*>(proto.data()), proto.size());
        return true;
    }
    case 43: return u16_list(body, 1, h.supported_versions);
    case 51: {
        uint16_t len = 0, group = 0, key_len = 0;
        Reader list(nullptr, 0), key(nullptr, 0);
        if (!body.u16(len) || !body.sub(len, list)) return false;
        while (list.u16(group) && list.u16(key_len) && list.sub(key_len, key)) {
            ++h.key_shares;
            h.key_share_groups.push_back(group);
        }
        return true;
    }
    default: return true;
    }
}

std::string hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

std::string digest_hex(const EVP_MD* md, const std::string& text, size_t chars) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(text.data(), text.size(), out, &len, md, nullptr);
    std::string hex;
    for (unsigned i = 0; i < len; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", out[i]);
        hex += b;
    }
    return hex.substr(0, chars);
}

std::string joined(const std::vector<std::string>& items, char sep) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += sep;
        out += items[i];
    }
    return out;
}

}  // namespace

bool is_grease(uint16_t v) { return (v & 0x0f0f) == 0x0a0a && (v >> 8) == (v & 0xff); }

std::optional<ClientHello> parse_client_hello(const std::vector<uint8_t>& bytes) {
    Reader r(bytes.data(), bytes.size());
    uint8_t type = 0;
    if (!r.u8(type)) return std::nullopt;
    if (type == 22) {  // a record: content type, version, length
        uint16_t version = 0, len = 0;
        Reader record(nullptr, 0);
        if (!r.u16(version) || !r.u16(len) || !r.sub(len, record)) return std::nullopt;
        r = record;
        if (!r.u8(type)) return std::nullopt;
    }
    uint32_t len = 0;
    Reader hello(nullptr, 0);
    if (type != 1 || !r.u24(len) || !r.sub(len, hello)) return std::nullopt;

    ClientHello h;
    uint8_t sid_len = 0, comp_len = 0;
    Reader skip(nullptr, 0);
    if (!hello.u16(h.legacy_version) || !hello.sub(32, skip) || !hello.u8(sid_len) || !hello.sub(sid_len, skip))
        return std::nullopt;
    if (!u16_list(hello, 2, h.ciphers)) return std::nullopt;
    if (!hello.u8(comp_len) || !hello.sub(comp_len, skip)) return std::nullopt;
    uint16_t ext_len = 0;
    Reader exts(nullptr, 0);
    if (!hello.u16(ext_len) || !hello.sub(ext_len, exts)) return std::nullopt;
    uint16_t ext_type = 0, body_len = 0;
    Reader body(nullptr, 0);
    while (!exts.empty()) {
        if (!exts.u16(ext_type) || !exts.u16(body_len) || !exts.sub(body_len, body)) return std::nullopt;
        h.extensions.push_back(ext_type);
        if (!parse_extension(ext_type, body, h)) return std::nullopt;
    }
    return h;
}

std::string ja4(const ClientHello& h) {
    uint16_t version = h.legacy_version;
    for (uint16_t v : h.supported_versions) {
        if (!is_grease(v)) version = std::max(version, v);
    }
    const char* ver = version == 0x0304 ? "13" : version == 0x0303 ? "12" : version == 0x0302 ? "11"
                    : version == 0x0301 ? "10" : "00";
    std::vector<std::string> ciphers, exts, sigs;
    for (uint16_t c : h.ciphers) {
        if (!is_grease(c)) ciphers.push_back(hex4(c));
    }
    size_t ext_count = 0;
    for (uint16_t e : h.extensions) {
        if (is_grease(e)) continue;
        ++ext_count;
        if (e != 0x0000 && e != 0x0010) exts.push_back(hex4(e));
    }
    for (uint16_t s : h.sigalgs) {
        if (!is_grease(s)) sigs.push_back(hex4(s));  // JA4 leaves GREASE out of every list
    }
    std::string alpn = "00";
    if (!h.alpn.empty() && !h.alpn.front().empty()) {
        const std::string& first = h.alpn.front();
        alpn = std::string{first.front(), first.back()};
    }
    char a[32];
    std::snprintf(a, sizeof a, "t%s%c%02zu%02zu%s", ver, h.server_name.empty() ? 'i' : 'd',
                  std::min<size_t>(ciphers.size(), 99), std::min<size_t>(ext_count, 99), alpn.c_str());
    std::sort(ciphers.begin(), ciphers.end());
    std::sort(exts.begin(), exts.end());
    const std::string b = ciphers.empty() ? "000000000000" : digest_hex(EVP_sha256(), joined(ciphers, ','), 12);
    std::string c_text = joined(exts, ',');
    if (!sigs.empty()) c_text += "_" + joined(sigs, ',');
    const std::string c = exts.empty() ? "000000000000" : digest_hex(EVP_sha256(), c_text, 12);
    return std::string(a) + "_" + b + "_" + c;
}

std::string ja3_string(const ClientHello& h) {
    auto list = [](const auto& values) {
        std::vector<std::string> out;
        for (auto v : values) {
            if (!is_grease(static_cast<uint16_t>(v))) out.push_back(std::to_string(v));
        }
        return joined(out, '-');
    };
    return std::to_string(h.legacy_version) + "," + list(h.ciphers) + "," + list(h.extensions) + "," +
           list(h.groups) + "," + list(h.point_formats);
}

std::string md5_hex(const std::string& text) { return digest_hex(EVP_md5(), text, 32); }

}  // namespace halyard_test
