#pragma once

// An HTTPS server on 127.0.0.1 with a self-signed certificate made when it starts (for the name
// localhost and the address 127.0.0.1). A client that verifies certificates must refuse it. Every
// request that gets through gets a small page.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "tests/support/listener.h"

namespace recvhtml::test {

class TlsServer : public Listener {
public:
    TlsServer();
    ~TlsServer();

    // "https://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path = "/") const;

    std::size_t HandshakeCount() const { return handshakes_; }  // TLS handshakes that completed
    std::size_t RequestCount() const { return requests_; }      // requests answered

private:
    struct Context;
    void ServeConnection(int fd);

    std::unique_ptr<Context> context_;
    std::atomic<std::size_t> handshakes_{0};
    std::atomic<std::size_t> requests_{0};
};

}  // namespace recvhtml::test
