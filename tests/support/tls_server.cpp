#include "tests/support/tls_server.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace recvhtml::test {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CertPtr = std::unique_ptr<X509, X509Free>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("tls server: ") + what);
}

KeyPtr MakeKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    return key;
}

// A certificate for `key` named `common_name`, valid from an hour ago for two hours (or, expired,
// from two days ago to yesterday), with the given extensions (nid and value, as in an OpenSSL
// configuration file). `issuer` signs it with `issuer_key`; without an issuer it signs itself.
CertPtr MakeCertificate(EVP_PKEY* key, const char* common_name, X509* issuer, EVP_PKEY* issuer_key,
                        std::initializer_list<std::pair<int, const char*>> extensions,
                        bool expired = false) {
    // Serial numbers differ between the certificates one authority signs.
    static std::atomic<long> serial{1};
    CertPtr cert(X509_new());
    Check(cert != nullptr, "certificate");
    X509* c = cert.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), serial++);
    constexpr long kDay = 24 * 3600;
    X509_gmtime_adj(X509_getm_notBefore(c), expired ? -2 * kDay : -3600);
    X509_gmtime_adj(X509_getm_notAfter(c), expired ? -kDay : 3600);
    X509_set_pubkey(c, key);
    X509_NAME* name = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    if (issuer == nullptr) {
        issuer = c;
        issuer_key = key;
    }
    X509_set_issuer_name(c, X509_get_subject_name(issuer));
    for (const auto& [nid, value] : extensions) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, issuer, c, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        Check(ext != nullptr, "extension");
        X509_add_ext(c, ext, -1);
        X509_EXTENSION_free(ext);
    }
    Check(X509_sign(c, issuer_key, EVP_sha256()) > 0, "sign");
    return cert;
}

}  // namespace

struct CertificateAuthority::Keys {
    KeyPtr key;
    CertPtr cert;
};

CertificateAuthority::CertificateAuthority() : keys_(std::make_unique<Keys>()) {
    keys_->key = MakeKey();
    keys_->cert = MakeCertificate(keys_->key.get(), "recv-html test authority", nullptr, nullptr,
                                  {{NID_basic_constraints, "critical,CA:TRUE"},
                                   {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                   {NID_subject_key_identifier, "hash"}});

    std::string path = (std::filesystem::temp_directory_path() / "recvhtml-ca-XXXXXX.pem").string();
    const int fd = mkstemps(path.data(), 4);
    Check(fd >= 0, "temporary file");
    FILE* file = fdopen(fd, "w");
    bool written = file != nullptr && PEM_write_X509(file, keys_->cert.get()) == 1;
    written = (file != nullptr ? std::fclose(file) : ::close(fd)) == 0 && written;
    if (!written) std::remove(path.c_str());
    Check(written, "writing the authority's certificate");
    pem_file_ = std::move(path);
}

// Out of line, where Keys is complete.
CertificateAuthority::~CertificateAuthority() {
    std::remove(pem_file_.c_str());
}

struct TlsServer::Context {
    KeyPtr key;
    CertPtr cert;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
};

TlsServer::TlsServer(TlsOffer offer) : context_(std::make_unique<Context>()) {
    // Valid dates and names, but no trusted issuer.
    context_->key = MakeKey();
    context_->cert = MakeCertificate(context_->key.get(), "localhost", nullptr, nullptr,
                                     {{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"}});
    StartServing(offer);
}

TlsServer::TlsServer(const CertificateAuthority& ca, const std::string& names, Dates dates,
                     TlsOffer offer)
    : context_(std::make_unique<Context>()) {
    context_->key = MakeKey();
    context_->cert = MakeCertificate(context_->key.get(), "recv-html test server",
                                     ca.keys_->cert.get(), ca.keys_->key.get(),
                                     {{NID_basic_constraints, "critical,CA:FALSE"},
                                      {NID_authority_key_identifier, "keyid"},
                                      {NID_subject_alt_name, names.c_str()}},
                                     dates == Dates::kExpired);
    StartServing(offer);
}

// Out of line, where Context is complete.
TlsServer::~TlsServer() {
    Stop();
}

void TlsServer::StartServing(TlsOffer offer) {
    context_->ctx.reset(SSL_CTX_new(TLS_server_method()));
    Check(context_->ctx != nullptr, "context");
    SSL_CTX* ctx = context_->ctx.get();
    // What is out of date is allowed at security level 0 alone.
    const auto outdated = [ctx](int version, const char* sigalgs) {
        SSL_CTX_set_security_level(ctx, 0);
        Check(SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0") == 1 &&
                  SSL_CTX_set_min_proto_version(ctx, version) == 1 &&
                  SSL_CTX_set_max_proto_version(ctx, version) == 1 &&
                  (sigalgs == nullptr || SSL_CTX_set1_sigalgs_list(ctx, sigalgs) == 1),
              "an outdated offer");
    };
    switch (offer) {
        case TlsOffer::kCurrent:
            break;
        case TlsOffer::kOnlyTls10:
            outdated(TLS1_VERSION, nullptr);
            break;
        case TlsOffer::kOnlyTls11:
            outdated(TLS1_1_VERSION, nullptr);
            break;
        case TlsOffer::kOnlySha1Signatures:
            outdated(TLS1_2_VERSION, "RSA+SHA1");
            break;
    }
    Check(SSL_CTX_use_certificate(context_->ctx.get(), context_->cert.get()) == 1 &&
              SSL_CTX_use_PrivateKey(context_->ctx.get(), context_->key.get()) == 1,
          "certificate in context");
    Start([this](int fd, std::size_t) { ServeConnection(fd); });
}

std::string TlsServer::Url(std::string_view path) const {
    return "https://127.0.0.1:" + std::to_string(Port()) + std::string(path);
}

void TlsServer::KeepConnections(std::string page) {
    page_ = std::move(page);
    keep_ = true;
}

void TlsServer::ServeConnection(int fd) {
    // A client that refuses the certificate may close the connection while OpenSSL still writes
    // to it: the write must fail on this thread, which serves this one connection, rather than
    // end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context_->ctx.get()));
    if (ssl && SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1) {
        ++handshakes_;
        std::string pending;
        char buf[4096];
        for (;;) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos &&
                   pending.size() < 65536) {
                int n = SSL_read(ssl.get(), buf, sizeof buf);
                if (n <= 0) break;
                pending.append(buf, static_cast<std::size_t>(n));
            }
            if (end == std::string::npos) break;
            pending.erase(0, end + 4);
            const bool keep = keep_;
            const std::string response =
                keep ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page_.size()) +
                           "\r\n\r\n" + page_
                     : "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nsecret";
            // Counted first: a client that has the page finds its request counted.
            ++requests_;
            if (SSL_write(ssl.get(), response.data(), static_cast<int>(response.size())) <= 0 ||
                !keep)
                break;
        }
        SSL_shutdown(ssl.get());
    }
    ERR_clear_error();
}

}  // namespace recvhtml::test
