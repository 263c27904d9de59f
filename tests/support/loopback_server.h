#pragma once

// A scripted HTTP/1.1 server and a forwarding proxy for tests and benchmarks. Both are Listeners:
// on 127.0.0.1 with a port the system picks, every connection on a thread of its own, and when
// destroyed every socket closed and every thread joined. Neither ever connects anywhere off this
// machine: the proxy only forwards to 127.0.0.1 and localhost.
//
// Typical use:
//     recvhtml::test::LoopbackServer server;
//     server.Serve("/page", recvhtml::test::Reply::Ok("<html>...</html>"));
//     Fetch(server.Url("/page"));
//     EXPECT_EQ(server.Requests().at(0).Header("User-Agent"), "RECV_HTML");

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/listener.h"

namespace recvhtml::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A request head as the server (or proxy) received it.
struct ReceivedRequest {
    std::string head;     // request line and header lines exactly as received, up to the blank line
    std::string method;   // "GET"
    std::string target;   // "/path?q" (origin form) or "http://host:port/path" (absolute form)
    std::string version;  // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
    std::size_t connection = 0;  // 1-based number of the connection that carried it

    // The value of the first header called `name` (compared without regard to case), if any.
    std::optional<std::string> Header(std::string_view name) const;
};

// A gate holds a response back until the test opens it. The test can wait until a request has
// reached the gate, so it can look at its own state while the request is known to be pending.
class Gate {
public:
    // Blocks until at least `count` requests have reached the gate, or `timeout` passes.
    // Returns whether they did.
    bool WaitUntilArrived(std::size_t count = 1, milliseconds timeout = milliseconds(10000));
    // Lets every held response (and every later one) go on.
    void Open();
    std::size_t Arrivals() const;
    bool IsOpen() const;

    // Used by the server: counts the arrival, then waits until the gate opens or `stop` is set.
    void Pass(const std::atomic<bool>& stop);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t arrivals_ = 0;
    bool open_ = false;
};

// How the body is framed on the wire.
enum class Framing {
    kContentLength,  // Content-Length header (not sent for an endless body)
    kChunked,        // Transfer-Encoding: chunked
    kUntilClose,     // no length; the server closes the connection at the end
};

// How a response is unusual, beyond its body.
enum class Special {
    kNone,
    kNeverAnswer,  // read the request, then send nothing until the client goes away
    kEndlessHead,  // a status line followed by header lines that never end
    kRaw,          // send `body` as the whole response, byte for byte, then close; cut_after and
                   // stall_after count its bytes
    kSilent,       // accept the connection and never even read the request
};

// One scripted response. Build one with the helpers below and adjust its fields.
struct Reply {
    static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

    int status = 200;
    std::string reason;  // empty: the usual phrase for `status`
    std::vector<std::pair<std::string, std::string>> headers;  // beyond the framing ones
    std::string body;                                          // bytes; any values
    Framing framing = Framing::kContentLength;
    bool gzip = false;     // send the body gzip-compressed, with Content-Encoding: gzip
    bool endless = false;  // repeat `body` (a pattern if empty) for as long as the client reads
    std::size_t chunk_size = 16384;  // the size of each chunk with Framing::kChunked
    // Body bytes are counted as they go on the wire after the head (chunk framing included).
    std::size_t cut_after = kNever;    // close the connection after this many body bytes
    std::size_t stall_after = kNever;  // go silent after this many body bytes, connection open
    milliseconds drip{
        0};  // when nonzero, send the whole response a piece at a time, this far apart
    std::size_t drip_size = 1;   // the bytes of each piece
    std::shared_ptr<Gate> gate;  // when set, nothing is sent until the gate opens
    Special special = Special::kNone;
    // When the request comes on a connection that has carried one before, the connection is
    // closed without an answer: a server that closed an idle connection as the request arrived.
    bool drop_when_reused = false;

    static Reply Ok(std::string body, std::string content_type = "text/html");
    static Reply Ok(std::span<const std::uint8_t> body, std::string content_type = "text/html");
    static Reply Status(int status, std::string body);
    static Reply Redirect(int status, std::string location);
};

// `size` bytes of a fixed, non-repeating-at-4096 pattern, for checking bodies byte for byte.
std::string PatternBytes(std::size_t size, std::uint32_t seed = 1);
// gzip-compresses `data` (for checking what a client decodes).
std::string GzipBytes(std::string_view data);

// The codings a server may send a body in (Content-Encoding).
enum class Coding {
    kGzip,
    kDeflate,     // zlib-wrapped, as the standard says
    kRawDeflate,  // "deflate" without the zlib wrapper, as some servers send it
    kBr,
    kZstd,
};
// `data` in `coding`, compressed with the coding's library.
std::string EncodeBytes(std::string_view data, Coding coding);
// The Content-Encoding value that names `coding`.
std::string ContentEncodingOf(Coding coding);

// A listener that reads HTTP requests and keeps their heads: what the server and the proxy share.
class HttpListener : public Listener {
public:
    std::vector<ReceivedRequest> Requests() const;
    std::size_t RequestCount() const;
    bool WaitForRequests(std::size_t count, milliseconds timeout = milliseconds(10000)) const;

protected:
    HttpListener() = default;
    ~HttpListener() { Stop(); }
    void Record(ReceivedRequest request);

private:
    std::vector<ReceivedRequest> requests_;
};

class LoopbackServer : public HttpListener {
public:
    LoopbackServer();
    ~LoopbackServer() { Stop(); }

    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path = "/") const;

    // Serves `reply` for requests whose target is `path` (the query included; a target with a query
    // that has no route of its own falls back to its path alone). Unknown targets get a 404 page.
    // A route can be replaced at any time.
    void Serve(std::string path, Reply reply);

private:
    struct Route;
    void ServeConnection(int fd, std::size_t number);
    std::shared_ptr<const Route> FindRoute(const std::string& target) const;

    std::map<std::string, std::shared_ptr<const Route>> routes_;
};

// A forwarding HTTP proxy: takes absolute-form requests ("GET http://127.0.0.1:port/x HTTP/1.1"),
// records them, forwards them in origin form to the named loopback host and relays the response.
// Requests for any other host get 502. CONNECT is answered with 501.
class LoopbackProxy : public HttpListener {
public:
    LoopbackProxy();

    // "127.0.0.1:<port>", the form a client takes as its proxy name.
    std::string Address() const;

    // From now on, a request is forwarded only with a Digest login (MD5, qop "auth") of this user
    // name and password, as a proxy with "auth_param digest" asks for; any other gets 407 with
    // the Digest challenge. Basic credentials are refused like wrong ones.
    void RequireDigestLogin(std::string user, std::string password);

private:
    void ServeConnection(int fd, std::size_t number);
    // Whether `request` may pass: no login is required, or it gives the right one.
    bool LoggedIn(const ReceivedRequest& request) const;

    mutable std::mutex login_mutex_;
    std::optional<std::pair<std::string, std::string>> login_;
};

// Counts this process's open file descriptors (entries of /proc/self/fd).
std::size_t OpenFileDescriptorCount();

}  // namespace recvhtml::test
