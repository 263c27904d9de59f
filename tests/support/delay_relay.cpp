#include "tests/support/delay_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <string>
#include <thread>
#include <utility>

namespace recvhtml::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(50);  // how often waits look at stop

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Carries what `from` sends to `to`, each piece `delay` after it arrived, until `from` ends (then
// `to` is told so, once all has gone) or `stop` is set.
void Carry(int from, int to, std::chrono::milliseconds delay, const std::atomic<bool>& stop) {
    std::deque<std::pair<Clock::time_point, std::string>> due;
    bool ended = false;
    while (!stop && !(ended && due.empty())) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kPollStep);
        if (!due.empty()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(std::max(
                                      Clock::duration::zero(), due.front().first - Clock::now())));
        }
        pollfd p{from, static_cast<short>(ended ? 0 : POLLIN), 0};
        const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (ready > 0 && !ended) {
            char buf[65536];
            const ssize_t n = ::recv(from, buf, sizeof buf, 0);
            if (n <= 0)
                ended = true;
            else
                due.emplace_back(Clock::now() + delay,
                                 std::string(buf, static_cast<std::size_t>(n)));
        }
        while (!due.empty() && due.front().first <= Clock::now()) {
            if (!SendAll(to, due.front().second.data(), due.front().second.size())) return;
            due.pop_front();
        }
    }
    ::shutdown(to, SHUT_WR);
}

}  // namespace

DelayRelay::DelayRelay(std::uint16_t server_port, std::chrono::milliseconds round_trip)
    : server_port_(server_port), round_trip_(round_trip) {
    Start([this](int fd, std::size_t) { ServeConnection(fd); });
}

void DelayRelay::ServeConnection(int fd) {
    const std::atomic<bool>& stop = Stopping();
    for (auto until = Clock::now() + round_trip_; !stop && Clock::now() < until;)
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollStep, until - Clock::now()));
    if (stop) return;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server_port_);
    Track(server);
    if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        int one = 1;
        ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const auto half = round_trip_ / 2;
        std::thread back([&] { Carry(server, fd, half, stop); });
        Carry(fd, server, half, stop);
        back.join();
    }
    Close(server);
}

}  // namespace recvhtml::test
