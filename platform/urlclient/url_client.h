#pragma once

// The program's URL client: a session, a URL opened in it, reads of its body, and the closing of
// both. Built on libcurl; only this folder sees libcurl's headers.
//
// A session and the URLs opened in it belong to one thread at a time. Handles close when their
// owners go out of scope; a URL handle must be closed before the session it was opened in.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace urlclient {

// Sets up libcurl for the whole program and tears it down at the end. Create exactly one, in
// main(), before any other thread starts. Sessions open only while it lives and only if it could
// set libcurl up: before it, after it and after a failed set-up, OpenSession returns null.
class GlobalInit {
public:
    GlobalInit();
    ~GlobalInit();
    GlobalInit(const GlobalInit&) = delete;
    GlobalInit& operator=(const GlobalInit&) = delete;
    // Whether libcurl could be set up.
    bool ok() const { return ok_; }

private:
    bool ok_;
};

enum class AccessMode {
    kSystemSettings,  // the usual proxy variables (http_proxy, https_proxy, no_proxy)
    kNamedProxy,      // the given proxy for every address, loopback included, but the bypass list
};

// How long the client waits, and how much it takes, before it gives up on a transfer.
struct Limits {
    std::chrono::milliseconds connect_timeout{60000};  // to establish a connection
    std::chrono::milliseconds stall_timeout{60000};    // with nothing arriving, once connected
    std::uint64_t max_body_bytes = std::uint64_t{256} << 20;  // after decoding
    std::uint64_t max_head_bytes = std::uint64_t{1} << 20;    // all response heads together
};

// How many redirects a request follows before it gives up.
inline constexpr int kMaxRedirects = 10;

// Lets another thread stop a session's transfers: once Stop() is called, the transfer in progress
// ends within a moment wherever it waits (for a name, a connection, a head or a body), and every
// later open or read of the session fails as stopped. Give it to a session through
// SessionOptions::stop; it must outlive the session.
class StopSignal {
public:
    StopSignal() = default;
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Safe to call from any thread, any number of times.
    void Stop();
    bool Stopped() const { return stopped_; }

private:
    friend class UrlHandle;
    // The transfers that wait in libcurl and must be woken (libcurl's multi handles).
    void Attach(void* multi);
    void Detach(void* multi);

    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::vector<void*> waiting_;
};

// Why a session, an open or a read brought nothing (more): plain facts for the caller to put in
// words of its own. Only `text` is libcurl's wording (English).
struct Failure {
    enum class Kind {
        kNone,
        kNoSession,          // libcurl is not set up, or the session's resources cannot be had
        kBadUrl,             // not a URL
        kUnsupportedScheme,  // a scheme other than http, https, ftp (on a redirect: http, https)
        kHostNotFound,       // the server's name does not resolve
        kProxyNotFound,      // the proxy's name does not resolve
        kConnectionRefused,  // nobody listens at the address and port
        kCouldNotConnect,    // no connection for another reason (no route, ...)
        kTimedOut,           // no answer within `time_limit`
        kCertificate,        // the server's certificate is not trusted: `certificate` says why
        kTls,                // the TLS negotiation failed otherwise
        kTooManyRedirects,   // more than kMaxRedirects
        kTooLarge,           // the body passed `size_limit`
        kCutOff,             // the connection ended early, or brought no response at all
        kNoMemory,           // memory for the transfer could not be had
        kStopped,            // stopped through the session's StopSignal
        kOther,              // anything else: `text` says what
    };
    enum class Certificate {
        kOther,          // `text` says why
        kSelfSigned,     // signed by itself (or a chain ending in a certificate that is)
        kExpired,        // past its end date
        kUnknownIssuer,  // signed by an authority that is not trusted here
        kNameMismatch,   // issued for another name than the server's
    };

    Kind kind = Kind::kNone;
    Certificate certificate = Certificate::kOther;  // kCertificate
    int curl_code = 0;                              // libcurl's CURLcode
    std::string text;    // libcurl's error text (English), as specific as libcurl has it
    std::string host;    // the host last tried (after redirects), as libcurl parsed it
    std::string scheme;  // the scheme last tried
    std::chrono::milliseconds time_limit{0};  // kTimedOut: the connect or stall time that passed
    std::uint64_t size_limit = 0;             // kTooLarge: Limits::max_body_bytes
};

struct SessionOptions {
    std::string agent;  // sent as User-Agent
    AccessMode access = AccessMode::kSystemSettings;
    std::string proxy;   // kNamedProxy: "host:port" or "scheme://host:port"
    std::string bypass;  // kNamedProxy: comma-separated hosts reached directly; empty: none
    // PEM file of CAs to trust instead of the system store; empty: the system store. The program
    // leaves it empty; tests name a CA of their own.
    std::string ca_file;
    Limits limits;
    StopSignal* stop = nullptr;  // when set, stops the session's transfers from another thread
    // How much of a body the client takes ahead of the reads before the transfer waits for them
    // (a compressed body is always taken as it comes). Small enough to stay in the cache.
    std::size_t read_ahead = std::size_t{256} << 10;
};

class Session;
class UrlHandle;
struct SessionCloser {
    void operator()(Session* session) const;
};
struct UrlCloser {
    void operator()(UrlHandle* url) const;
};
using SessionPtr = std::unique_ptr<Session, SessionCloser>;
using UrlPtr = std::unique_ptr<UrlHandle, UrlCloser>;

// Opens a session. Returns null when libcurl is not set up (see GlobalInit), when the session's
// own resources cannot be had, or when the named proxy is empty.
SessionPtr OpenSession(const SessionOptions& options);
// The same, saying why in `failure` when it returns null.
SessionPtr OpenSession(const SessionOptions& options, Failure& failure);

// Flags for OpenUrl.
inline constexpr unsigned kReload = 1;  // no cached copy: ask intermediaries to revalidate too

// Sends the request for `url` (UTF-8; characters outside ASCII are sent as a browser sends them:
// the host through IDNA, the rest percent-encoded) and waits for the response head, following up
// to 10 redirects to http or https. Allowed schemes: http, https, ftp.
// Returns null when the address is bad, the scheme not allowed, the name does not resolve, the
// connection or the TLS negotiation fails (certificates are verified), the redirects loop, or the
// server stalls before its head is complete, or the session's StopSignal stops it. Any status
// (an error page too) gives a handle.
UrlPtr OpenUrl(Session& session, std::string_view url, unsigned flags);
// The same, saying why in `failure` when it returns null.
UrlPtr OpenUrl(Session& session, std::string_view url, unsigned flags, Failure& failure);

enum class ReadStatus {
    kOk,        // `bytes` delivered; 0 bytes means the body has ended
    kFailed,    // the transfer broke (cut, stalled past the stall time, bad encoding, ...)
    kTooLarge,  // the body passed Limits::max_body_bytes
};

struct ReadResult {
    ReadStatus status;
    std::size_t bytes;
    Failure failure;  // why, when the status is not kOk
};

// Reads up to `dest.size()` bytes of the decoded body into `dest`. Blocks until at least one byte
// has arrived or the transfer has ended. After a failure every later read fails as well; once the
// session's StopSignal is stopped, every read fails as stopped, even with body bytes still held.
ReadResult Read(UrlHandle& url, std::span<std::uint8_t> dest);

// The HTTP status of the final response (after redirects); 0 for other schemes.
int ResponseStatus(UrlHandle& url);

// The body length the server declared (Content-Length), when it declared one and it is within
// Limits::max_body_bytes. Only a hint: a compressed body decodes to a different length, and a
// server may send less.
std::optional<std::uint64_t> DeclaredLength(UrlHandle& url);

// Percent-encodes what a browser would in the parts after the host (bytes outside ASCII, spaces,
// controls, quotes, angle brackets, backquotes and braces), turns a host outside ASCII into its
// IDNA (xn--) form, and drops the fragment. Already-encoded "%xx" sequences are kept.
std::string EncodeUrl(std::string_view url);

}  // namespace urlclient
