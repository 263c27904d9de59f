#pragma once

// The listening half of every test server: a socket on 127.0.0.1 with a port the system picks, a
// thread that accepts connections, and a thread for each connection. A server derives from it,
// calls Start() once it is ready to serve and Stop() first thing in its destructor, while what its
// connections use still exists.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/connection_threads.h"

namespace recvhtml::test {

class Listener {
public:
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t Port() const { return port_; }
    std::size_t ConnectionCount() const;      // connections accepted so far
    std::size_t OpenConnectionCount() const;  // connections not yet closed by either side
    bool WaitForConnections(std::size_t count, std::chrono::milliseconds timeout =
                                                   std::chrono::milliseconds(10000)) const;
    // Waits until every connection has been closed, by the client or by the server.
    bool WaitUntilIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;

protected:
    using Serve = std::function<void(int fd, std::size_t number)>;

    Listener() = default;
    ~Listener() { Stop(); }

    // Listens, and serves each connection with `serve(fd, number)` on a thread of its own
    // (`number` counts the connections from 1); the connection is closed when `serve` returns.
    // Throws std::runtime_error when the socket cannot be set up.
    void Start(Serve serve);
    // Stops accepting, shuts every open connection down so that the threads serving them return
    // from their reads and writes, waits for those threads and closes the socket. Idempotent.
    void Stop();
    // Set once Stop() begins: every wait in a serving thread looks at it now and then.
    const std::atomic<bool>& Stopping() const { return stop_; }

    // Another socket that Stop() must shut down, such as a proxy's connection onward; Close()
    // closes it once the serving thread is done with it.
    void Track(int fd);
    void Close(int fd);

    // Guards this class's counts and whatever the derived server records; `changed_` is notified
    // whenever any of it changes.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

private:
    void AcceptLoop();

    Serve serve_;
    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::size_t connections_ = 0;
    std::size_t open_connections_ = 0;
    std::vector<int> fds_;  // connections and tracked sockets still open
    ConnectionThreads threads_;
    std::thread acceptor_;
};

}  // namespace recvhtml::test
