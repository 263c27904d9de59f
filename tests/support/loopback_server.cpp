#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <brotli/encode.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace recvhtml::test {

namespace {

constexpr std::size_t kMaxHead = 1 << 20;  // a request head beyond this is refused
constexpr int kPollStepMs = 50;            // how often waiting threads look at the stop flag

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return std::string(s);
}

int ConnectToLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void SleepUnlessStopped(milliseconds total, const std::atomic<bool>& stop) {
    auto end = Clock::now() + total;
    while (!stop && Clock::now() < end) {
        auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
        std::this_thread::sleep_for(std::min(left, milliseconds(kPollStepMs)));
    }
}

// Reads and drops whatever the peer sends until it closes the connection or `stop` is set.
void WaitForPeerToClose(int fd, const std::atomic<bool>& stop) {
    char sink[4096];
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, kPollStepMs);
        if (n < 0 && errno != EINTR) return;
        if (n <= 0) continue;
        ssize_t got = ::recv(fd, sink, sizeof sink, 0);
        if (got <= 0) return;
    }
}

// Reads one request head (through the blank line) from `fd`; `pending` carries bytes read past the
// end of the previous head. Returns false when the peer closes first or the head is too long.
bool ReadHead(int fd, std::string& pending, std::string& head) {
    for (;;) {
        std::size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            return true;
        }
        if (pending.size() > kMaxHead) return false;
        char buf[16384];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

// Drops a request body of `length` bytes, part of which may already be in `pending`.
bool SkipBody(int fd, std::string& pending, std::size_t length) {
    std::size_t from_pending = std::min(length, pending.size());
    pending.erase(0, from_pending);
    length -= from_pending;
    char buf[16384];
    while (length > 0) {
        ssize_t n = ::recv(fd, buf, std::min(length, sizeof buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

ReceivedRequest ParseHead(std::string head, std::size_t connection) {
    ReceivedRequest r;
    r.connection = connection;
    std::string_view rest = head;
    auto next_line = [&rest]() {
        std::size_t eol = rest.find("\r\n");
        std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 2);
        return line;
    };
    std::string_view line = next_line();
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = line.rfind(' ');
    if (sp1 != std::string_view::npos && sp2 > sp1) {
        r.method = line.substr(0, sp1);
        r.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        r.version = line.substr(sp2 + 1);
    } else {
        r.method = line;
    }
    while (!rest.empty()) {
        line = next_line();
        if (line.empty()) break;
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        r.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    r.head = std::move(head);
    return r;
}

const char* ReasonFor(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// Streams gzip output of whatever is fed to it.
class GzipStream {
public:
    GzipStream() {
        if (deflateInit2(&z_, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("loopback server: deflateInit2 failed");
    }
    ~GzipStream() { deflateEnd(&z_); }
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    // Compresses `in` (finishing the stream when `finish`) and returns the bytes produced.
    std::string Feed(std::string_view in, bool finish) {
        std::string out;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z_.avail_in = static_cast<uInt>(in.size());
        char buf[65536];
        int rc;
        do {
            z_.next_out = reinterpret_cast<Bytef*>(buf);
            z_.avail_out = sizeof buf;
            rc = deflate(&z_, finish ? Z_FINISH : Z_NO_FLUSH);
            out.append(buf, sizeof buf - z_.avail_out);
        } while (z_.avail_out == 0 || (finish && rc != Z_STREAM_END));
        return out;
    }

private:
    z_stream z_{};
};

// Sends one response's bytes, applying the reply's drip, cut and stall rules.
class Sink {
public:
    Sink(int fd, const Reply& reply, const std::atomic<bool>& stop)
        : fd_(fd), reply_(reply), stop_(stop) {}

    bool Head(std::string_view bytes) { return Send(bytes); }

    // Body bytes count towards cut_after and stall_after. Returns false once the connection
    // is to end (peer gone, cut, or stall over).
    bool Body(std::string_view bytes) {
        std::size_t limit = std::min(reply_.cut_after, reply_.stall_after);
        if (limit != Reply::kNever && sent_body_ + bytes.size() >= limit) {
            std::size_t allowed = limit - sent_body_;
            if (!Send(bytes.substr(0, allowed))) return false;
            sent_body_ += allowed;
            if (reply_.stall_after <= reply_.cut_after) WaitForPeerToClose(fd_, stop_);
            ended_early_ = true;
            return false;
        }
        sent_body_ += bytes.size();
        return Send(bytes);
    }

    bool ended_early() const { return ended_early_; }

private:
    bool Send(std::string_view bytes) {
        if (stop_) return false;
        if (reply_.drip.count() == 0) return SendAll(fd_, bytes.data(), bytes.size());
        const std::size_t piece = std::max<std::size_t>(1, reply_.drip_size);
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const std::size_t n = std::min(piece, bytes.size() - at);
            if (stop_ || !SendAll(fd_, bytes.data() + at, n)) return false;
            SleepUnlessStopped(reply_.drip, stop_);
        }
        return true;
    }

    int fd_;
    const Reply& reply_;
    const std::atomic<bool>& stop_;
    std::size_t sent_body_ = 0;
    bool ended_early_ = false;
};

// Writes body bytes with the reply's framing.
bool SendFramed(Sink& sink, const Reply& reply, std::string_view bytes) {
    if (reply.framing != Framing::kChunked) return sink.Body(bytes);
    std::size_t step = std::max<std::size_t>(reply.chunk_size, 1);
    while (!bytes.empty()) {
        std::string_view piece = bytes.substr(0, step);
        char size_line[32];
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
        if (!sink.Body(size_line) || !sink.Body(piece) || !sink.Body("\r\n")) return false;
        bytes.remove_prefix(piece.size());
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ReceivedRequest, Gate, Reply, helpers

std::optional<std::string> ReceivedRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (EqualsNoCase(key, name)) return value;
    return std::nullopt;
}

bool Gate::WaitUntilArrived(std::size_t count, milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return arrivals_ >= count; });
}

void Gate::Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

std::size_t Gate::Arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

bool Gate::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void Gate::Pass(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    ++arrivals_;
    changed_.notify_all();
    while (!open_ && !stop) changed_.wait_for(lock, milliseconds(kPollStepMs));
}

Reply Reply::Ok(std::string body, std::string content_type) {
    Reply r;
    r.headers.emplace_back("Content-Type", std::move(content_type));
    r.body = std::move(body);
    return r;
}

Reply Reply::Ok(std::span<const std::uint8_t> body, std::string content_type) {
    return Ok(std::string(body.begin(), body.end()), std::move(content_type));
}

Reply Reply::Status(int status, std::string body) {
    Reply r = Ok(std::move(body));
    r.status = status;
    return r;
}

Reply Reply::Redirect(int status, std::string location) {
    Reply r = Status(status, "<a href=\"" + location + "\">moved</a>");
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

std::string PatternBytes(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x >> 11);
    }
    return out;
}

std::string GzipBytes(std::string_view data) {
    GzipStream z;
    return z.Feed(data, true);
}

std::string EncodeBytes(std::string_view data, Coding coding) {
    std::string out;
    const auto deflate_with = [&](int window_bits) {
        z_stream z{};
        if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("EncodeBytes: deflateInit2 failed");
        out.resize(deflateBound(&z, static_cast<uLong>(data.size())));
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        const int rc = deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        if (rc != Z_STREAM_END) throw std::runtime_error("EncodeBytes: deflate failed");
    };
    switch (coding) {
        case Coding::kGzip:
            return GzipBytes(data);
        case Coding::kDeflate:
            deflate_with(15);
            return out;
        case Coding::kRawDeflate:
            deflate_with(-15);
            return out;
        case Coding::kBr: {
            std::size_t size = BrotliEncoderMaxCompressedSize(data.size());
            out.resize(size);
            if (!BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW,
                                       BROTLI_MODE_GENERIC, data.size(),
                                       reinterpret_cast<const std::uint8_t*>(data.data()), &size,
                                       reinterpret_cast<std::uint8_t*>(out.data())))
                throw std::runtime_error("EncodeBytes: brotli failed");
            out.resize(size);
            return out;
        }
        case Coding::kZstd: {
            out.resize(ZSTD_compressBound(data.size()));
            const std::size_t size =
                ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
            if (ZSTD_isError(size)) throw std::runtime_error("EncodeBytes: zstd failed");
            out.resize(size);
            return out;
        }
    }
    throw std::logic_error("EncodeBytes: no such coding");
}

std::string ContentEncodingOf(Coding coding) {
    switch (coding) {
        case Coding::kGzip:
            return "gzip";
        case Coding::kDeflate:
        case Coding::kRawDeflate:
            return "deflate";
        case Coding::kBr:
            return "br";
        case Coding::kZstd:
            return "zstd";
    }
    throw std::logic_error("ContentEncodingOf: no such coding");
}

std::size_t OpenFileDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// ---------------------------------------------------------------------------------------------
// HttpListener

std::vector<ReceivedRequest> HttpListener::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpListener::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool HttpListener::WaitForRequests(std::size_t count, milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpListener::Record(ReceivedRequest request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    changed_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// LoopbackServer

struct LoopbackServer::Route {
    Reply reply;
    std::string wire_body;  // the body as sent: compressed when the reply asks for gzip
};

LoopbackServer::LoopbackServer() {
    Start([this](int fd, std::size_t number) { ServeConnection(fd, number); });
}

std::string LoopbackServer::Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + std::string(path);
}

void LoopbackServer::Serve(std::string path, Reply reply) {
    auto route = std::make_shared<Route>();
    route->wire_body = reply.gzip && !reply.endless ? GzipBytes(reply.body) : std::string();
    route->reply = std::move(reply);
    std::lock_guard lock(mutex_);
    routes_[std::move(path)] = std::move(route);
}

std::shared_ptr<const LoopbackServer::Route> LoopbackServer::FindRoute(
    const std::string& target) const {
    std::string path = target;
    // An absolute-form target (as a proxy would send) is served by its path.
    if (path.rfind("http://", 0) == 0) {
        std::size_t slash = path.find('/', 7);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    std::lock_guard lock(mutex_);
    auto it = routes_.find(path);
    if (it == routes_.end()) it = routes_.find(path.substr(0, path.find('?')));
    return it == routes_.end() ? nullptr : it->second;
}

void LoopbackServer::ServeConnection(int fd, std::size_t number) {
    const std::atomic<bool>& stop = Stopping();
    std::string pending;
    for (bool reused = false;; reused = true) {
        std::string head;
        if (!ReadHead(fd, pending, head)) {
            if (pending.size() > kMaxHead) {
                const char too_long[] =
                    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
                    "Connection: close\r\n\r\n";
                SendAll(fd, too_long, sizeof too_long - 1);
            }
            break;
        }
        ReceivedRequest request = ParseHead(std::move(head), number);
        auto length = request.Header("Content-Length");
        bool client_closes = EqualsNoCase(request.Header("Connection").value_or(""), "close") ||
                             request.version == "HTTP/1.0";
        bool is_head = request.method == "HEAD";
        auto route = FindRoute(request.target);
        if (!route || route->reply.special != Special::kSilent) Record(std::move(request));
        if (length && !SkipBody(fd, pending, std::strtoull(length->c_str(), nullptr, 10))) break;

        static const Reply kNotFound = Reply::Status(404, "<html><body>not found</body></html>");
        const Reply& reply = route ? route->reply : kNotFound;
        if (reply.drop_when_reused && reused) break;
        if (reply.gate) reply.gate->Pass(stop);
        if (stop) break;

        if (reply.special == Special::kNeverAnswer || reply.special == Special::kSilent) {
            WaitForPeerToClose(fd, stop);
            break;
        }
        Sink sink(fd, reply, stop);
        if (reply.special == Special::kRaw) {
            sink.Body(reply.body);
            break;
        }
        if (reply.special == Special::kEndlessHead) {
            if (!sink.Head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n")) break;
            std::string filler = "X-Filler: " + std::string(100, 'a') + "\r\n";
            while (sink.Head(filler)) {
            }
            break;
        }

        const std::string& wire =
            route && reply.gzip && !reply.endless ? route->wire_body : reply.body;
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                          (reply.reason.empty() ? ReasonFor(reply.status) : reply.reason) + "\r\n";
        for (const auto& [key, value] : reply.headers) out += key + ": " + value + "\r\n";
        if (reply.gzip) out += "Content-Encoding: gzip\r\n";
        bool closes_after = client_closes || reply.framing == Framing::kUntilClose ||
                            (reply.endless && reply.framing == Framing::kContentLength);
        if (reply.framing == Framing::kChunked)
            out += "Transfer-Encoding: chunked\r\n";
        else if (reply.framing == Framing::kContentLength && !reply.endless)
            out += "Content-Length: " + std::to_string(wire.size()) + "\r\n";
        if (closes_after) out += "Connection: close\r\n";
        out += "\r\n";
        if (!sink.Head(out)) break;
        if (is_head) {
            if (closes_after) break;
            continue;
        }

        bool ok;
        if (!reply.endless) {
            ok = SendFramed(sink, reply, wire);
        } else {
            std::string source = reply.body.empty() ? PatternBytes(65536) : reply.body;
            std::unique_ptr<GzipStream> gzip;
            if (reply.gzip) gzip = std::make_unique<GzipStream>();
            do {
                ok = SendFramed(sink, reply, gzip ? gzip->Feed(source, false) : source);
            } while (ok);
        }
        if (!ok) break;
        if (reply.framing == Framing::kChunked && !sink.Body("0\r\n\r\n")) break;
        if (closes_after) break;
    }
}

// ---------------------------------------------------------------------------------------------
// LoopbackProxy

LoopbackProxy::LoopbackProxy() {
    Start([this](int fd, std::size_t number) { ServeConnection(fd, number); });
}

std::string LoopbackProxy::Address() const {
    return "127.0.0.1:" + std::to_string(Port());
}

namespace {

constexpr const char* kDigestRealm = "recv-html-test";
constexpr const char* kDigestNonce = "4f2a9c7e1b3d5f60";

std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

// The value of `name` in a Digest header's list (name="value" or name=value).
std::string DigestField(std::string_view header, std::string_view name) {
    std::size_t at = 0;
    while ((at = header.find(name, at)) != std::string_view::npos) {
        const bool starts = at == 0 || header[at - 1] == ' ' || header[at - 1] == ',';
        const std::size_t eq = at + name.size();
        if (starts && eq < header.size() && header[eq] == '=') {
            std::string_view value = header.substr(eq + 1);
            if (!value.empty() && value.front() == '"') {
                value.remove_prefix(1);
                return std::string(value.substr(0, value.find('"')));
            }
            return Trim(value.substr(0, value.find(',')));
        }
        at = eq;
    }
    return "";
}

}  // namespace

void LoopbackProxy::RequireDigestLogin(std::string user, std::string password) {
    std::lock_guard<std::mutex> lock(login_mutex_);
    login_.emplace(std::move(user), std::move(password));
}

bool LoopbackProxy::LoggedIn(const ReceivedRequest& request) const {
    std::lock_guard<std::mutex> lock(login_mutex_);
    if (!login_) return true;
    const std::optional<std::string> header = request.Header("Proxy-Authorization");
    if (!header || header->rfind("Digest ", 0) != 0) return false;
    const std::string_view fields = std::string_view(*header).substr(7);
    if (DigestField(fields, "username") != login_->first ||
        DigestField(fields, "realm") != kDigestRealm ||
        DigestField(fields, "nonce") != kDigestNonce || DigestField(fields, "qop") != "auth")
        return false;
    const std::string ha1 = Md5Hex(login_->first + ":" + kDigestRealm + ":" + login_->second);
    const std::string ha2 = Md5Hex(request.method + ":" + DigestField(fields, "uri"));
    const std::string expected = Md5Hex(ha1 + ":" + kDigestNonce + ":" + DigestField(fields, "nc") +
                                        ":" + DigestField(fields, "cnonce") + ":auth:" + ha2);
    return DigestField(fields, "response") == expected;
}

void LoopbackProxy::ServeConnection(int fd, std::size_t number) {
    const std::atomic<bool>& stop = Stopping();
    int upstream = -1;
    auto answer = [fd](const char* status) {
        std::string out = std::string("HTTP/1.1 ") + status +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(fd, out.data(), out.size());
    };

    std::string pending, head;
    if (ReadHead(fd, pending, head)) {
        ReceivedRequest request = ParseHead(head, number);
        Record(request);
        if (!LoggedIn(request)) {
            const std::string out = std::string("HTTP/1.1 407 Proxy Authentication Required\r\n") +
                                    "Proxy-Authenticate: Digest realm=\"" + kDigestRealm +
                                    "\", nonce=\"" + kDigestNonce +
                                    "\", qop=\"auth\", algorithm=MD5\r\n"
                                    "Content-Length: 0\r\nConnection: close\r\n\r\n";
            SendAll(fd, out.data(), out.size());
            return;
        }
        // Only "http://127.0.0.1[:port]/..." and "http://localhost[:port]/..." are forwarded.
        std::string_view target = request.target;
        std::uint16_t port = 80;
        std::string path;
        bool loopback = false;
        if (request.method != "CONNECT" && target.rfind("http://", 0) == 0) {
            target.remove_prefix(7);
            std::size_t slash = target.find('/');
            std::string_view authority = target.substr(0, slash);
            path = slash == std::string_view::npos ? "/" : std::string(target.substr(slash));
            std::size_t colon = authority.rfind(':');
            std::string_view host = authority.substr(0, colon);
            if (colon != std::string_view::npos)
                port = static_cast<std::uint16_t>(
                    std::strtoul(std::string(authority.substr(colon + 1)).c_str(), nullptr, 10));
            loopback = host == "127.0.0.1" || EqualsNoCase(host, "localhost");
        }
        if (request.method == "CONNECT") {
            answer("501 Not Implemented");
        } else if (!loopback || (upstream = ConnectToLoopback(port)) < 0) {
            answer("502 Bad Gateway");
        } else {
            Track(upstream);
            std::string out = request.method + " " + path + " " + request.version + "\r\n";
            for (const auto& [key, value] : request.headers) {
                if (EqualsNoCase(key, "Proxy-Connection") || EqualsNoCase(key, "Connection") ||
                    EqualsNoCase(key, "Keep-Alive"))
                    continue;
                out += key + ": " + value + "\r\n";
            }
            out += "Connection: close\r\n\r\n" + pending;
            if (SendAll(upstream, out.data(), out.size())) {
                // Relay both ways until the origin closes (it was asked to) or the client leaves.
                char buf[65536];
                while (!stop) {
                    pollfd p[2] = {{upstream, POLLIN, 0}, {fd, POLLIN, 0}};
                    int n = ::poll(p, 2, kPollStepMs);
                    if (n < 0 && errno != EINTR) break;
                    if (n <= 0) continue;
                    if (p[0].revents) {
                        ssize_t got = ::recv(upstream, buf, sizeof buf, 0);
                        if (got <= 0 || !SendAll(fd, buf, static_cast<std::size_t>(got))) break;
                    }
                    if (p[1].revents) {
                        ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                        if (got <= 0 || !SendAll(upstream, buf, static_cast<std::size_t>(got)))
                            break;
                    }
                }
            }
            Close(upstream);
        }
    }
}

}  // namespace recvhtml::test
