#include "tests/support/tls_server.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

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

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("tls server: ") + what);
}

void AddExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

}  // namespace

struct TlsServer::Context {
    std::unique_ptr<EVP_PKEY, PkeyFree> key;
    std::unique_ptr<X509, X509Free> cert;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
};

TlsServer::TlsServer() : context_(std::make_unique<Context>()) {
    // A fresh key and a certificate that signs itself: valid dates and names, but no trusted
    // issuer.
    context_->key.reset(EVP_EC_gen("P-256"));
    Check(context_->key != nullptr, "key");
    context_->cert.reset(X509_new());
    X509* cert = context_->cert.get();
    Check(cert != nullptr, "certificate");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, context_->key.get());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    AddExtension(cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    Check(X509_sign(cert, context_->key.get(), EVP_sha256()) > 0, "sign");

    context_->ctx.reset(SSL_CTX_new(TLS_server_method()));
    Check(context_->ctx != nullptr, "context");
    Check(SSL_CTX_use_certificate(context_->ctx.get(), cert) == 1 &&
              SSL_CTX_use_PrivateKey(context_->ctx.get(), context_->key.get()) == 1,
          "certificate in context");

    Start([this](int fd, std::size_t) { ServeConnection(fd); });
}

// Out of line, where Context is complete.
TlsServer::~TlsServer() {
    Stop();
}

std::string TlsServer::Url(std::string_view path) const {
    return "https://127.0.0.1:" + std::to_string(Port()) + std::string(path);
}

void TlsServer::ServeConnection(int fd) {
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context_->ctx.get()));
    if (ssl && SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1) {
        ++handshakes_;
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            int n = SSL_read(ssl.get(), buf, sizeof buf);
            if (n <= 0) break;
            head.append(buf, static_cast<std::size_t>(n));
        }
        if (head.find("\r\n\r\n") != std::string::npos) {
            static const char kPage[] =
                "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nsecret";
            SSL_write(ssl.get(), kPage, sizeof kPage - 1);
            ++requests_;
        }
        SSL_shutdown(ssl.get());
    }
    ERR_clear_error();
}

}  // namespace recvhtml::test
