#include "transport/tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>

#include "api/contain.h"
#include "halyard.h"

namespace halyard {

std::shared_ptr<TrustStore> TrustStore::from_pem(const uint8_t* data, size_t len) {
    if (len > static_cast<size_t>(INT_MAX)) return nullptr;
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) return nullptr;
    // The chain may end at an intermediate given in the bundle, as curl
    // allows with its own stores.
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
    size_t count = 0;
    if (len > 0) {
        BIO* bio = BIO_new_mem_buf(data, static_cast<int>(len));
        if (bio == nullptr) {
            X509_STORE_free(store);
            return nullptr;
        }
        while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
            if (X509_STORE_add_cert(store, cert) == 1) ++count;
            X509_free(cert);
        }
        BIO_free(bio);
        // The loop ends on a "no start line" error; it must not linger in
        // this thread's OpenSSL error queue for curl to find.
        ERR_clear_error();
        if (count == 0) {
            X509_STORE_free(store);
            return nullptr;
        }
    }
    return std::shared_ptr<TrustStore>(
        new TrustStore(store, count, std::string(reinterpret_cast<const char*>(data), len)));
}

TrustStore::~TrustStore() {
    X509_STORE_free(store_);
    if (path_fd_ >= 0) close(path_fd_);
}

const std::string& TrustStore::pem_path() const {
    std::call_once(path_once_, [this] {
        const int fd = memfd_create("vesper-ca", MFD_CLOEXEC);
        if (fd < 0) return;
        size_t written = 0;
        while (written < pem_.size()) {
            const ssize_t n = write(fd, pem_.data() + written, pem_.size() - written);
            if (n <= 0) {
                close(fd);
                return;
            }
            written += static_cast<size_t>(n);
        }
        path_fd_ = fd;
        path_ = "/proc/self/fd/" + std::to_string(fd);
    });
    return path_;
}

namespace {

// Called by curl for each new TLS connection, after its own setup: the
// engine's store replaces whatever curl loaded, and the profile's
// ClientHello settings replace curl's.
CURLcode configure_context(void* ssl_ctx, void* userp) {
    const auto* setup = static_cast<const TlsContextSetup*>(userp);
    auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
    if (setup->trust != nullptr) {
        X509_STORE* store = setup->trust->store();
        if (X509_STORE_up_ref(store) != 1) return CURLE_OUT_OF_MEMORY;
        SSL_CTX_set_cert_store(ctx, store);
    }
    if (setup->profile != nullptr && !apply_tls_profile(ctx, *setup->profile)) {
        ERR_clear_error();
        return CURLE_SSL_CIPHER;
    }
    if (setup->client_certificate != nullptr && !setup->client_certificate->apply(ctx)) {
        ERR_clear_error();
        return CURLE_SSL_CERTPROBLEM;
    }
    return CURLE_OK;
}

// Called by curl: nothing may escape into it.
CURLcode setup_context(CURL*, void* ssl_ctx, void* userp) {
    return contain([&] { return configure_context(ssl_ctx, userp); }, [](Fault fault) {
        ERR_clear_error();
        return fault == Fault::OutOfMemory ? CURLE_OUT_OF_MEMORY : CURLE_SSL_CONNECT_ERROR;
    });
}

}  // namespace

CURLcode apply_tls_options(CURL* easy, uint32_t mode, const TlsContextSetup& setup) {
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption opt, auto value) {
        if (rc == CURLE_OK) rc = curl_easy_setopt(easy, opt, value);
    };
    // TLS 1.2 at least, to the server and to an HTTPS proxy, as browsers
    // do; there is no way to ask for less.
    set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    set(CURLOPT_PROXY_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    switch (mode) {
    case HY_TLS_SYSTEM_ROOTS:
        break;  // curl's defaults: the system bundle, peer and host verified
    case HY_TLS_CA_BUNDLE:
        // No system file or directory: only the bundle is trusted.
        set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        set(CURLOPT_PROXY_CAINFO, static_cast<const char*>(nullptr));
        set(CURLOPT_PROXY_CAPATH, static_cast<const char*>(nullptr));
        if (setup.trust != nullptr && !setup.trust->pem().empty()) {
            curl_blob blob{const_cast<char*>(setup.trust->pem().data()), setup.trust->pem().size(),
                           CURL_BLOB_COPY};
            set(CURLOPT_CAINFO_BLOB, &blob);
        }
        break;
    case HY_TLS_NO_VERIFY:
        set(CURLOPT_SSL_VERIFYPEER, 0L);
        set(CURLOPT_SSL_VERIFYHOST, 0L);
        set(CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
        set(CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
        break;
    default:
        rc = CURLE_BAD_FUNCTION_ARGUMENT;
    }
    if (setup.trust != nullptr || setup.profile != nullptr || setup.client_certificate != nullptr) {
        set(CURLOPT_SSL_CTX_FUNCTION, &setup_context);
        set(CURLOPT_SSL_CTX_DATA, const_cast<TlsContextSetup*>(&setup));
    }
    return rc;
}

}  // namespace halyard
