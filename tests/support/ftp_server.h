#pragma once

// A scripted FTP server on 127.0.0.1 for tests: it logs anyone in and serves one file by passive
// mode (EPSV), the way libcurl asks for it. It can leave the client's QUIT unanswered, as some
// servers do, so that a test can see whether the client waits for it, and it can keep the file's
// size to itself, as many servers do.

#include <atomic>
#include <string>
#include <string_view>

#include "tests/support/listener.h"

namespace recvhtml::test {

class FtpServer : public Listener {
public:
    // Serves `content` as "/<name>" to every connection.
    FtpServer(std::string name, std::string content);
    ~FtpServer() { Stop(); }

    // "ftp://127.0.0.1:<port>/<name>".
    std::string Url() const;
    // When false, a QUIT gets no answer: the connection stays open until the client leaves, or
    // until the answer is allowed again, when it goes out.
    void AnswerQuit(bool answer) { answer_quit_ = answer; }

    // Where the file's size is declared before it is sent.
    enum class Size {
        kBySize,   // in the answer to SIZE (213)
        kInReply,  // in the 150 reply to RETR: "(20000 bytes)"
        kNowhere,  // neither: SIZE is not implemented, and the 150 reply names no size
    };
    void DeclareSize(Size where) { size_ = where; }
    // How many QUIT commands have arrived.
    std::size_t QuitCount() const { return quits_; }

private:
    void ServeConnection(int fd);

    const std::string name_;
    const std::string content_;
    std::atomic<bool> answer_quit_{true};
    std::atomic<Size> size_{Size::kBySize};
    std::atomic<std::size_t> quits_{0};
};

}  // namespace recvhtml::test
