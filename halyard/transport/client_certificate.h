// A client certificate an engine presents to servers that ask for one
// (mutual TLS): its chain and private key, read from PEM once, at engine
// creation, and put on every TLS context curl makes for the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace halyard {

class ClientCertificate {
public:
    // Reads `chain` (PEM certificates, the client's own first) and `key`
    // (its PEM private key, decrypted with `password` when encrypted; when
    // `key_len` is 0 the key is read from `chain`).
    // Null with `problem` set (HY_CLIENT_CERT_*) when they cannot be used.
    static std::shared_ptr<const ClientCertificate> from_pem(const uint8_t* chain, size_t chain_len,
                                                             const uint8_t* key, size_t key_len,
                                                             const uint8_t* password, size_t password_len,
                                                             uint32_t& problem);
    ~ClientCertificate();
    ClientCertificate(const ClientCertificate&) = delete;
    ClientCertificate& operator=(const ClientCertificate&) = delete;

    // Puts the certificate, its intermediates and the key on `ctx`; false
    // when the TLS library refused one.
    bool apply(SSL_CTX* ctx) const;

private:
    ClientCertificate() = default;
    std::vector<X509*> chain_;  // owned; the client's own first
    EVP_PKEY* key_ = nullptr;   // owned
};

}  // namespace halyard
