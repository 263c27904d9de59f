#include "tests/support/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace recvhtml::test {

namespace {

constexpr int kPollStepMs = 50;  // how often the acceptor looks at the stop flag

int ListenOnLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("loopback listener: socket failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("loopback listener: bind/listen failed");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// Waits for a new connection while looking at `stop` now and then. Returns -1 when stopping.
int AcceptUnlessStopped(int listen_fd, const std::atomic<bool>& stop) {
    while (!stop) {
        pollfd p{listen_fd, POLLIN, 0};
        int n = ::poll(&p, 1, kPollStepMs);
        if (n <= 0) continue;
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
    }
    return -1;
}

}  // namespace

std::size_t Listener::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::size_t Listener::OpenConnectionCount() const {
    std::lock_guard lock(mutex_);
    return open_connections_;
}

bool Listener::WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

bool Listener::WaitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return open_connections_ == 0; });
}

void Listener::Start(Serve serve) {
    serve_ = std::move(serve);
    listen_fd_ = ListenOnLoopback(port_);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void Listener::Stop() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    threads_.JoinAll();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

void Listener::Track(int fd) {
    std::lock_guard lock(mutex_);
    fds_.push_back(fd);
}

void Listener::Close(int fd) {
    std::lock_guard lock(mutex_);
    fds_.erase(std::find(fds_.begin(), fds_.end(), fd));
    ::close(fd);
}

void Listener::AcceptLoop() {
    for (;;) {
        int fd = AcceptUnlessStopped(listen_fd_, stop_);
        if (fd < 0) return;
        std::lock_guard lock(mutex_);
        std::size_t number = ++connections_;
        ++open_connections_;
        fds_.push_back(fd);
        threads_.Start([this, fd, number] {
            serve_(fd, number);
            Close(fd);
            std::lock_guard inner(mutex_);
            --open_connections_;
            changed_.notify_all();
        });
        changed_.notify_all();
    }
}

}  // namespace recvhtml::test
