#pragma once

// An HTTPS server on 127.0.0.1 with a self-signed certificate made when it starts (for the name
// localhost and the address 127.0.0.1). A client that verifies certificates must refuse it. Every
// request that gets through gets a small page.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/connection_threads.h"

namespace recvhtml::test {

class TlsServer {
public:
    TlsServer();
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "https://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path = "/") const;

    std::size_t ConnectionCount() const;  // TCP connections accepted
    std::size_t HandshakeCount() const;   // TLS handshakes that completed
    std::size_t RequestCount() const;     // requests answered
    // Waits until every connection has been closed on the server's side as well.
    bool WaitUntilIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;

private:
    struct Context;
    void AcceptLoop();
    void ServeConnection(int fd);

    std::unique_ptr<Context> context_;
    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::size_t connections_ = 0;
    std::size_t handshakes_ = 0;
    std::size_t requests_ = 0;
    std::vector<int> client_fds_;
    ConnectionThreads threads_;
    std::thread acceptor_;
};

}  // namespace recvhtml::test
