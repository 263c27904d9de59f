#pragma once

// A slow line in front of a loopback server, for measuring what a round trip costs: a relay on
// 127.0.0.1 whose connections each wait one round trip before they reach the server (as a TCP
// handshake does), and whose data, in either direction, arrives half a round trip after it was
// sent, in order and without limiting the rate.

#include <chrono>
#include <cstdint>

#include "tests/support/listener.h"

namespace recvhtml::test {

class DelayRelay : public Listener {
public:
    DelayRelay(std::uint16_t server_port, std::chrono::milliseconds round_trip);
    ~DelayRelay() { Stop(); }

private:
    void ServeConnection(int fd);

    std::uint16_t server_port_;
    std::chrono::milliseconds round_trip_;
};

}  // namespace recvhtml::test
