#pragma once

// A port on 127.0.0.1 that refuses every connection for as long as this lives: a socket bound to it
// that never listens. A server opened and closed again would leave its port free, for a test
// running beside this one to take, and then a connection meant to be refused finds that server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace recvhtml::test {

class RefusingPort {
public:
    RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (fd_ >= 0) close(fd_);
            throw std::runtime_error("RefusingPort: no port could be bound on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    std::uint16_t Port() const { return port_; }
    // "127.0.0.1:<port>"
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path = "/") const {
        return "http://" + Address() + std::string(path);
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

}  // namespace recvhtml::test
