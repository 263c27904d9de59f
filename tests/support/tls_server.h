#pragma once

// An HTTPS server on 127.0.0.1, and a small certificate authority for it. Every request that gets
// through gets a small page ("secret").
//
// Without an authority the server makes a certificate that signs itself (for the name localhost
// and the address 127.0.0.1): a client that verifies certificates must refuse it. With one, the
// authority signs the server's certificate for the names given, and a client told to trust the
// authority's PEM file (urlclient::SessionOptions::ca_file) decides by those names alone:
//     recvhtml::test::CertificateAuthority ca;
//     recvhtml::test::TlsServer right(ca, "IP:127.0.0.1");   // taken at right.Url()
//     recvhtml::test::TlsServer wrong(ca, "DNS:other.test");  // refused at wrong.Url()
//     recvhtml::test::TlsServer old(ca, "IP:127.0.0.1", TlsServer::Dates::kExpired);  // refused

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "tests/support/listener.h"

namespace recvhtml::test {

// A key and a certificate authority's certificate that signs itself, made when it is created. The
// certificate is written as PEM to a temporary file, removed again when the authority goes.
class CertificateAuthority {
public:
    CertificateAuthority();
    ~CertificateAuthority();
    CertificateAuthority(const CertificateAuthority&) = delete;
    CertificateAuthority& operator=(const CertificateAuthority&) = delete;

    // The PEM file holding the authority's certificate.
    const std::string& PemFile() const { return pem_file_; }

private:
    friend class TlsServer;
    struct Keys;
    std::unique_ptr<Keys> keys_;
    std::string pem_file_;
};

// What a server offers in its handshake.
enum class TlsOffer {
    kCurrent,             // what this machine's OpenSSL offers: TLS 1.2 and 1.3
    kOnlyTls10,           // TLS 1.0 and nothing newer, as servers long out of date do
    kOnlyTls11,           // TLS 1.1 and nothing newer
    kOnlySha1Signatures,  // TLS 1.2, with a handshake signed by SHA-1 alone, which clients refuse
};

class TlsServer : public Listener {
public:
    // When the server's certificate is valid.
    enum class Dates {
        kCurrent,  // from an hour ago to an hour from now
        kExpired,  // from two days ago to yesterday
    };

    // A certificate that signs itself, for localhost and 127.0.0.1.
    explicit TlsServer(TlsOffer offer = TlsOffer::kCurrent);
    // A certificate signed by `ca` for `names`, written as a subjectAltName ("IP:127.0.0.1",
    // "DNS:other.test", several joined by commas). The server still listens on 127.0.0.1 alone.
    TlsServer(const CertificateAuthority& ca, const std::string& names,
              Dates dates = Dates::kCurrent, TlsOffer offer = TlsOffer::kCurrent);
    ~TlsServer();

    // "https://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path = "/") const;

    std::size_t HandshakeCount() const { return handshakes_; }  // TLS handshakes that completed
    std::size_t RequestCount() const { return requests_; }      // requests answered

    // From now on every request gets `page` instead, and a connection stays open for the client's
    // next request (HTTP keep-alive), as a web server keeps it. Call it before the first request.
    void KeepConnections(std::string page);

private:
    struct Context;
    void StartServing(TlsOffer offer);
    void ServeConnection(int fd);

    std::unique_ptr<Context> context_;
    std::atomic<std::size_t> handshakes_{0};
    std::atomic<std::size_t> requests_{0};
    std::atomic<bool> keep_{false};
    std::string page_;
};

}  // namespace recvhtml::test
