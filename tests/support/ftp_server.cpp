#include "tests/support/ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace recvhtml::test {

namespace {

constexpr int kPollStepMs = 50;

bool Send(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Reads one command line (without its CR LF) into `line`; false when the client left or `stop`.
bool ReadLine(int fd, std::string& pending, std::string& line, const std::atomic<bool>& stop) {
    for (;;) {
        const std::size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 2);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        if (stop) return false;
        const int n = ::poll(&p, 1, kPollStepMs);
        if (n <= 0) continue;
        char buf[1024];
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got <= 0) return false;
        pending.append(buf, static_cast<std::size_t>(got));
    }
}

}  // namespace

FtpServer::FtpServer(std::string name, std::string content)
    : name_(std::move(name)), content_(std::move(content)) {
    Start([this](int fd, std::size_t) { ServeConnection(fd); });
}

std::string FtpServer::Url() const {
    return "ftp://127.0.0.1:" + std::to_string(Port()) + "/" + name_;
}

void FtpServer::ServeConnection(int fd) {
    const std::atomic<bool>& stop = Stopping();
    int data_listener = -1;
    std::string pending, line;
    bool ok = Send(fd, "220 ready\r\n");
    while (ok && ReadLine(fd, pending, line, stop)) {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string arg = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
        if (verb == "USER") {
            ok = Send(fd, "331 send a password\r\n");
        } else if (verb == "PASS") {
            ok = Send(fd, "230 logged in\r\n");
        } else if (verb == "PWD") {
            ok = Send(fd, "257 \"/\"\r\n");
        } else if (verb == "TYPE") {
            ok = Send(fd, "200 type set\r\n");
        } else if (verb == "SIZE" && size_ == Size::kBySize) {
            ok = Send(fd, arg == name_ ? "213 " + std::to_string(content_.size()) + "\r\n"
                                       : std::string("550 no such file\r\n"));
        } else if (verb == "EPSV") {
            if (data_listener >= 0) Close(data_listener);
            data_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (data_listener < 0) break;
            Track(data_listener);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof addr;
            if (::bind(data_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                ::listen(data_listener, 1) != 0 ||
                ::getsockname(data_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
                break;
            ok = Send(fd, "229 passive (|||" + std::to_string(ntohs(addr.sin_port)) + "|)\r\n");
        } else if (verb == "RETR" && arg == name_ && data_listener >= 0) {
            ok = Send(fd,
                      size_ == Size::kInReply
                          ? "150 here it comes (" + std::to_string(content_.size()) + " bytes)\r\n"
                          : std::string("150 here it comes\r\n"));
            int data = -1;
            while (ok && data < 0 && !stop) {
                pollfd p{data_listener, POLLIN, 0};
                if (::poll(&p, 1, kPollStepMs) > 0)
                    data = ::accept4(data_listener, nullptr, nullptr, SOCK_CLOEXEC);
            }
            if (data < 0) break;
            Track(data);
            ok = Send(data, content_);
            Close(data);
            ok = ok && Send(fd, "226 sent\r\n");
        } else if (verb == "QUIT") {
            ++quits_;
            // Silent until the client goes, or until the answer is allowed.
            while (!answer_quit_ && !stop) {
                pollfd p{fd, POLLIN, 0};
                char buf[256];
                if (::poll(&p, 1, kPollStepMs) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0) break;
            }
            if (answer_quit_) Send(fd, "221 bye\r\n");
            break;
        } else {
            ok = Send(fd, "502 not implemented\r\n");
        }
    }
    if (data_listener >= 0) Close(data_listener);
}

}  // namespace recvhtml::test
