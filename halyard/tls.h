// TLS verification: the PEM bundle given in memory and the curl options of
// the three verification modes.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>

typedef struct x509_store_st X509_STORE;

namespace halyard {

// The certificates of a PEM bundle, as an OpenSSL store that replaces the
// default roots of every TLS connection of the engine.
class TrustStore {
public:
    // Parses every certificate of the bundle.  Returns null when the bundle
    // is not empty but holds no parsable certificate.  An empty bundle gives
    // an empty store, which trusts nothing.
    static std::shared_ptr<TrustStore> from_pem(const uint8_t* data, size_t len);

    ~TrustStore();
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    size_t count() const { return count_; }
    X509_STORE* store() const { return store_; }

private:
    TrustStore(X509_STORE* store, size_t count) : store_(store), count_(count) {}
    X509_STORE* store_;
    size_t count_;
};

// Sets the verification options of one transfer for HY_TLS_* `mode`;
// `trust` is the bundle of mode HY_TLS_CA_BUNDLE and must outlive the
// transfer.
CURLcode apply_tls_options(CURL* easy, uint32_t mode, const TrustStore* trust);

}  // namespace halyard
