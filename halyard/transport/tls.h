// TLS verification: the PEM bundle given in memory and the curl options of
// the three verification modes.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "profile/tls_profile.h"
#include "transport/client_certificate.h"

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
    // The bundle as given: curl compares it when it reuses a connection or
    // a TLS session, so engines with different bundles never share either.
    const std::string& pem() const { return pem_; }
    // The bundle as a file name, for a TLS library that reads CA files
    // only (QUIC's GnuTLS): an anonymous in-memory file of this process,
    // made on first use.  Empty when it could not be made.
    const std::string& pem_path() const;

private:
    TrustStore(X509_STORE* store, size_t count, std::string pem)
        : store_(store), count_(count), pem_(std::move(pem)) {}
    X509_STORE* store_;
    size_t count_;
    std::string pem_;
    mutable std::once_flag path_once_;
    mutable int path_fd_ = -1;
    mutable std::string path_;
};

// What the callback curl runs for each new TLS context applies: the
// bundle's store (mode HY_TLS_CA_BUNDLE), the profile's ClientHello
// settings and the client certificate.  Both must outlive the transfer.
struct TlsContextSetup {
    const TrustStore* trust = nullptr;
    const TlsProfile* profile = nullptr;
    const ClientCertificate* client_certificate = nullptr;
};

// Sets the TLS options of one transfer for HY_TLS_* `mode`.
CURLcode apply_tls_options(CURL* easy, uint32_t mode, const TlsContextSetup& setup);

}  // namespace halyard
