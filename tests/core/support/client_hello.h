// ClientHello parsing and the JA3 / JA4 fingerprints computed from it, for
// the fingerprint tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halyard_test {

struct ClientHello {
    uint16_t legacy_version = 0;
    std::vector<uint16_t> ciphers;            // as sent, GREASE included
    std::vector<uint16_t> extensions;         // as sent, GREASE included
    std::vector<uint16_t> supported_versions;
    std::vector<uint16_t> groups;
    std::vector<uint8_t> point_formats;
    std::vector<uint16_t> sigalgs;
    std::vector<std::string> alpn;
    std::string server_name;
    size_t key_shares = 0;
    std::vector<uint16_t> key_share_groups;  // the group of each key share, in order
};

bool is_grease(uint16_t value);

// Parses a TLS record holding a ClientHello (or the handshake message
// alone); nothing when the bytes are not one.
std::optional<ClientHello> parse_client_hello(const std::vector<uint8_t>& bytes);

// JA4 (FoxIO's definition, TCP) and the JA3 string (before hashing).
std::string ja4(const ClientHello& hello);
std::string ja3_string(const ClientHello& hello);
std::string md5_hex(const std::string& text);

}  // namespace halyard_test
