#include "platform/urlclient/url_client.h"

#include <curl/curl.h>

#include <QString>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

namespace urlclient {

namespace {

using Clock = std::chrono::steady_clock;

// Larger than libcurl's 16 KiB default: fewer trips through the transfer loop for big bodies. Not
// much larger: the buffer stays in the cache next to the body held ahead, and what libcurl keeps
// each time the transfer waits for the reads (at most one buffer's worth) stays small.
constexpr long kReceiveBuffer = 32 * 1024;
// The most the holding buffer takes up front, however far ahead the session reads.
constexpr std::size_t kMaxReserve = std::size_t{4} << 20;

struct ShareCleanup {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool NeedsEncoding(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' ||
           c == '}';
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

namespace {

// How many GlobalInit objects that set libcurl up are alive. Sessions open only while one is:
// libcurl would otherwise set itself up on the first handle, on whatever thread that is.
std::atomic<int> live_inits{0};

}  // namespace

GlobalInit::GlobalInit() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {
    if (ok_) ++live_inits;
}

GlobalInit::~GlobalInit() {
    if (!ok_) return;
    --live_inits;
    curl_global_cleanup();
}

void StopSignal::Stop() {
    // Under the lock, so that no transfer can detach (and then clean up its multi handle) while
    // it is being woken.
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (void* multi : waiting_) curl_multi_wakeup(static_cast<CURLM*>(multi));
}

void StopSignal::Attach(void* multi) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(multi);
}

void StopSignal::Detach(void* multi) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), multi), waiting_.end());
}

class Session {
public:
    SessionOptions options;
    // Shares resolved names and cookies between the URLs opened in this session.
    std::unique_ptr<CURLSH, ShareCleanup> share;
    int open_urls = 0;
};

class UrlHandle {
public:
    explicit UrlHandle(Session& owner) : session(owner) { ++session.open_urls; }
    ~UrlHandle() {
        if (session.options.stop && multi) session.options.stop->Detach(multi.get());
        // A stopped transfer may still be resolving its name: leave that lookup to end on its own
        // thread rather than wait for it here.
        if (StopRequested() && easy) curl_easy_setopt(easy.get(), CURLOPT_QUICK_EXIT, 1L);
        // libcurl wants the easy handle out of the multi handle before either is cleaned up;
        // the members then go in reverse order: easy, multi, header list.
        if (attached) curl_multi_remove_handle(multi.get(), easy.get());
        easy.reset();
        multi.reset();
        --session.open_urls;
    }
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;

    bool StopRequested() const {
        return session.options.stop != nullptr && session.options.stop->Stopped();
    }
    // Lets the session's StopSignal wake the transfer's waits from another thread.
    void AttachToStopSignal() {
        if (session.options.stop) session.options.stop->Attach(multi.get());
    }
    // Why the transfer brought nothing (more), from what it ended with.
    Failure Describe() const;

    Session& session;
    std::unique_ptr<curl_slist, SlistFree> request_headers;
    std::unique_ptr<CURLM, MultiCleanup> multi;
    std::unique_ptr<CURL, EasyCleanup> easy;
    bool attached = false;

    // Where the body goes: straight into the caller's buffer during a read, the surplus (and
    // whatever arrives while opening) into `overflow`, which is only filled once it is empty.
    std::span<std::uint8_t> dest;
    std::size_t delivered = 0;
    std::vector<std::uint8_t> overflow;
    std::size_t overflow_pos = 0;
    // Once `overflow` holds SessionOptions::read_ahead bytes, libcurl is paused rather than handed
    // more: a body that arrives faster than it is read then waits in the socket, and `overflow`
    // stays small enough to be copied out of the cache instead of memory.
    bool paused = false;
    bool encoded = false;  // the final response's body is being decoded (Content-Encoding)

    std::uint64_t body_bytes = 0;
    std::uint64_t head_bytes = 0;
    int status = 0;
    bool saw_location = false;
    bool head_done = false;
    bool done = false;
    bool too_large = false;
    bool out_of_memory = false;
    bool stalled = false;  // ended by the stall time rather than libcurl's connect time-out
    CURLcode result = CURLE_OK;
    char error_text[CURL_ERROR_SIZE] = {};

    const Clock::time_point started = Clock::now();
    bool connected = false;
    curl_off_t last_wire_bytes = 0;
    Clock::time_point last_activity = Clock::now();

    // Runs the transfer until `until()` holds or it ends; applies the stall time.
    template <typename Pred>
    void Pump(Pred until);
};

void SessionCloser::operator()(Session* session) const {
    // A URL still open would keep the shared handle in use; closing out of order is a fault of
    // the caller that would otherwise leak, so stop here.
    if (session->open_urls != 0) std::abort();
    delete session;
}

void UrlCloser::operator()(UrlHandle* url) const {
    delete url;
}

namespace {

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& h = *static_cast<UrlHandle*>(user);
    std::size_t n = size * count;
    h.last_activity = Clock::now();
    h.head_done = true;
    // Pausing makes libcurl keep this piece, and the rest of what it has received, until the
    // reads ask for more. A decoded body is never paused: the rest of its compressed block could
    // expand a thousandfold inside libcurl, past any cap of ours.
    if (h.delivered == h.dest.size() && !h.encoded &&
        h.overflow.size() - h.overflow_pos >= h.session.options.read_ahead) {
        h.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    h.body_bytes += n;
    if (h.body_bytes > h.session.options.limits.max_body_bytes) {
        h.too_large = true;
        return 0;  // makes libcurl abort the transfer
    }
    std::size_t room = h.dest.size() - h.delivered;
    std::size_t direct = std::min(room, n);
    if (direct > 0) {
        std::memcpy(h.dest.data() + h.delivered, data, direct);
        h.delivered += direct;
    }
    if (direct < n) {
        // An exception must not cross libcurl: running out of memory ends the transfer instead.
        try {
            if (h.overflow.capacity() == 0 && !h.encoded) {
                // Taken once, at its full size (what is held ahead plus the one piece that passes
                // it), before the reader's array has grown: the holding place never sits among
                // the array's old blocks, which the allocator could then not give back.
                h.overflow.reserve(std::min(h.session.options.read_ahead, kMaxReserve) +
                                   CURL_MAX_WRITE_SIZE);
            }
            if (h.overflow_pos == h.overflow.size()) {
                h.overflow.clear();
                h.overflow_pos = 0;
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
            h.overflow.insert(h.overflow.end(), bytes + direct, bytes + n);
        } catch (const std::exception&) {
            h.out_of_memory = true;
            return 0;
        }
    }
    return n;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& h = *static_cast<UrlHandle*>(user);
    std::size_t n = size * count;
    h.last_activity = Clock::now();
    h.head_bytes += n;
    if (h.head_bytes > h.session.options.limits.max_head_bytes) return 0;
    std::string_view line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
        std::size_t space = line.find(' ');
        h.status = space == std::string_view::npos
                       ? 0
                       : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        h.saw_location = false;
        h.encoded = false;
    } else if (StartsWithNoCase(line, "location:")) {
        h.saw_location = true;
    } else if (StartsWithNoCase(line, "content-encoding:")) {
        h.encoded = true;
    } else if (line == "\r\n" || line == "\n") {
        // The head of the final response: not an interim 1xx, not a redirect about to be followed.
        bool redirect = h.status >= 300 && h.status < 400 && h.saw_location;
        if (h.status >= 200 && !redirect) h.head_done = true;
    }
    return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto& h = *static_cast<UrlHandle*>(user);
    if (h.StopRequested()) return 1;  // makes libcurl abort the transfer
    if (dlnow != h.last_wire_bytes) {
        h.last_wire_bytes = dlnow;
        h.last_activity = Clock::now();
    }
    return 0;
}

// libcurl's name for a certificate problem, as its TLS library words it.
Failure::Certificate CertificateProblem(std::string_view text) {
    if (Contains(text, "target host name")) return Failure::Certificate::kNameMismatch;
    if (Contains(text, "self-signed") || Contains(text, "self signed"))
        return Failure::Certificate::kSelfSigned;
    if (Contains(text, "expired")) return Failure::Certificate::kExpired;
    if (Contains(text, "issuer certificate")) return Failure::Certificate::kUnknownIssuer;
    return Failure::Certificate::kOther;
}

Failure::Kind KindOf(CURLcode code, long os_error) {
    using Kind = Failure::Kind;
    switch (code) {
        case CURLE_OK:
            return Kind::kNone;
        case CURLE_URL_MALFORMAT:
            return Kind::kBadUrl;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Kind::kUnsupportedScheme;
        case CURLE_COULDNT_RESOLVE_HOST:
            return Kind::kHostNotFound;
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Kind::kProxyNotFound;
        case CURLE_COULDNT_CONNECT:
            return os_error == ECONNREFUSED ? Kind::kConnectionRefused : Kind::kCouldNotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return Kind::kTimedOut;
        case CURLE_PEER_FAILED_VERIFICATION:
            return Kind::kCertificate;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return Kind::kTls;
        case CURLE_TOO_MANY_REDIRECTS:
            return Kind::kTooManyRedirects;
        case CURLE_FILESIZE_EXCEEDED:
            return Kind::kTooLarge;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return Kind::kCutOff;
        case CURLE_OUT_OF_MEMORY:
            return Kind::kNoMemory;
        default:
            return Kind::kOther;
    }
}

// The host and scheme of `url` as libcurl parses them; left empty where it cannot.
void HostAndScheme(const char* url, Failure& failure) {
    std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url,
                                CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK)
        return;
    for (auto [part, out] :
         {std::pair{CURLUPART_HOST, &failure.host}, std::pair{CURLUPART_SCHEME, &failure.scheme}}) {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), part, &text, 0) != CURLUE_OK) continue;
        *out = text;
        curl_free(text);
    }
}

}  // namespace

Failure UrlHandle::Describe() const {
    Failure failure;
    if (result == CURLE_OK && !too_large && !StopRequested()) return failure;
    failure.curl_code = result;
    failure.text = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
    long os_error = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &os_error);
    failure.kind = KindOf(result, os_error);
    // What ended the transfer on our side says more than the code libcurl ended it with.
    if (StopRequested()) {
        failure.kind = Failure::Kind::kStopped;
    } else if (too_large) {
        failure.kind = Failure::Kind::kTooLarge;
    } else if (out_of_memory) {
        failure.kind = Failure::Kind::kNoMemory;
    }
    if (failure.kind == Failure::Kind::kCertificate)
        failure.certificate = CertificateProblem(failure.text);
    if (failure.kind == Failure::Kind::kTimedOut) {
        failure.time_limit =
            stalled ? session.options.limits.stall_timeout : session.options.limits.connect_timeout;
    }
    if (failure.kind == Failure::Kind::kTooLarge)
        failure.size_limit = session.options.limits.max_body_bytes;
    char* effective = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective != nullptr)
        HostAndScheme(effective, failure);
    return failure;
}

template <typename Pred>
void UrlHandle::Pump(Pred until) {
    const auto stall = session.options.limits.stall_timeout;
    while (!done && !until()) {
        // Stop() wakes the wait below, so a stop is seen here at once, whatever the transfer
        // waits for; libcurl's progress callback alone would see it only once a second.
        if (StopRequested()) {
            done = true;
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            done = true;
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg == CURLMSG_DONE) {
                done = true;
                result = msg->data.result;
            }
        }
        if (done || until()) break;

        // The stall clock runs once a connection stands; before that the connect time-out rules.
        // Should the connection go unnoticed, the stall clock starts when that time-out is over.
        if (!connected) {
            curl_off_t connect_time = 0;
            const bool connect_seen =
                curl_easy_getinfo(easy.get(), CURLINFO_CONNECT_TIME_T, &connect_time) == CURLE_OK &&
                connect_time > 0;
            if (connect_seen || Clock::now() - started >= session.options.limits.connect_timeout) {
                connected = true;
                last_activity = Clock::now();
            }
        }
        auto wait = std::chrono::milliseconds(1000);
        if (connected) {
            auto idle = Clock::now() - last_activity;
            if (idle >= stall) {
                done = true;
                stalled = true;
                result = CURLE_OPERATION_TIMEDOUT;
                break;
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(stall - idle));
        } else {
            wait = std::chrono::milliseconds(50);  // look for the connection soon
        }
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
}

// ---------------------------------------------------------------------------------------------

SessionPtr OpenSession(const SessionOptions& options) {
    Failure failure;
    return OpenSession(options, failure);
}

SessionPtr OpenSession(const SessionOptions& options, Failure& failure) {
    failure = {};
    auto fail = [&failure](const char* text) {
        failure.kind = Failure::Kind::kNoSession;
        failure.text = text;
        return nullptr;
    };
    if (live_inits == 0) return fail("libcurl is not set up");
    if (options.access == AccessMode::kNamedProxy && options.proxy.empty())
        return fail("no proxy named");
    SessionPtr session(new Session{options, nullptr, 0});
    session->share.reset(curl_share_init());
    if (!session->share) return fail("no memory for the session");
    if (curl_share_setopt(session->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) !=
            CURLSHE_OK ||
        curl_share_setopt(session->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) !=
            CURLSHE_OK)
        return fail("the session's shared data cannot be set up");
    return session;
}

int ResponseStatus(UrlHandle& h) {
    return h.status;
}

std::optional<std::uint64_t> DeclaredLength(UrlHandle& h) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(h.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length < 0 || static_cast<std::uint64_t>(length) > h.session.options.limits.max_body_bytes)
        return std::nullopt;
    return static_cast<std::uint64_t>(length);
}

std::string EncodeUrl(std::string_view url) {
    url = url.substr(0, url.find('#'));
    std::size_t start = 0;
    std::string out;
    std::size_t scheme_end = url.find("://");
    if (scheme_end != std::string_view::npos) {
        // scheme://[userinfo@]host[:port], then the path: the host goes through IDNA here, since
        // libcurl's own conversion depends on the process's locale.
        std::size_t host_begin = scheme_end + 3;
        start = std::min(url.find_first_of("/?", host_begin), url.size());
        std::string_view authority = url.substr(host_begin, start - host_begin);
        std::size_t at = authority.rfind('@');
        std::size_t host_from = at == std::string_view::npos ? 0 : at + 1;
        std::size_t colon = authority.find(':', host_from);
        std::string_view host = authority.substr(host_from, colon - host_from);
        out = std::string(url.substr(0, host_begin + host_from));
        bool ascii = std::all_of(host.begin(), host.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        QByteArray ace;
        if (!ascii)
            ace = QUrl::toAce(QString::fromUtf8(host.data(), static_cast<qsizetype>(host.size())));
        if (!ace.isEmpty())
            out += ace.toStdString();
        else
            out += host;
        if (colon != std::string_view::npos) out += authority.substr(colon);
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = start; i < url.size(); ++i) {
        auto c = static_cast<unsigned char>(url[i]);
        bool escape = c == '%' && !(i + 2 < url.size() && IsHex(url[i + 1]) && IsHex(url[i + 2]));
        if (NeedsEncoding(c) || escape) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

UrlPtr OpenUrl(Session& session, std::string_view url, unsigned flags) {
    Failure failure;
    return OpenUrl(session, url, flags, failure);
}

UrlPtr OpenUrl(Session& session, std::string_view url, unsigned flags, Failure& failure) {
    failure = {};
    auto fail = [&failure](Failure::Kind kind, const char* text) {
        failure.kind = kind;
        failure.text = text;
        return nullptr;
    };
    UrlPtr h(new UrlHandle(session));
    h->multi.reset(curl_multi_init());
    h->easy.reset(curl_easy_init());
    if (!h->multi || !h->easy) return fail(Failure::Kind::kNoMemory, "no memory for the transfer");
    h->AttachToStopSignal();

    if (flags & kReload) {
        curl_slist* list = nullptr;
        for (const char* line : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
            curl_slist* grown = curl_slist_append(list, line);
            if (!grown) {
                curl_slist_free_all(list);
                return fail(Failure::Kind::kNoMemory, "no memory for the request");
            }
            list = grown;
        }
        h->request_headers.reset(list);
    }

    const SessionOptions& o = session.options;
    const std::string encoded = EncodeUrl(url);
    CURL* e = h->easy.get();
    bool ok = curl_easy_setopt(e, CURLOPT_URL, encoded.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,ftp") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXREDIRS, long{kMaxRedirects}) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_USERAGENT, o.agent.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HTTPHEADER, h->request_headers.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(o.limits.connect_timeout.count())) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SHARE, session.share.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_COOKIEFILE, "") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEDATA, h.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERDATA, h.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &OnProgress) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_XFERINFODATA, h.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_ERRORBUFFER, h->error_text) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                               static_cast<curl_off_t>(o.limits.max_body_bytes)) == CURLE_OK;
    if (ok && !o.ca_file.empty()) {
        // The file alone: libcurl would otherwise still look in the system's directory of CAs.
        ok = curl_easy_setopt(e, CURLOPT_CAINFO, o.ca_file.c_str()) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<const char*>(nullptr)) == CURLE_OK;
    }
    if (ok && o.access == AccessMode::kNamedProxy) {
        // Setting both also keeps the proxy variables of the environment out of this session.
        ok = curl_easy_setopt(e, CURLOPT_PROXY, o.proxy.c_str()) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_NOPROXY, o.bypass.c_str()) == CURLE_OK;
    }
    if (!ok) return fail(Failure::Kind::kOther, "the transfer cannot be set up");
    if (curl_multi_add_handle(h->multi.get(), e) != CURLM_OK)
        return fail(Failure::Kind::kOther, "the transfer cannot be started");
    h->attached = true;

    h->Pump([&h] { return h->head_done; });
    if ((h->too_large || h->result == CURLE_FILESIZE_EXCEEDED) && !h->StopRequested()) {
        // A declared or decoded size past the cap: the reads report it.
        h->too_large = true;
        return h;
    }
    if (h->done && h->result != CURLE_OK && !h->head_done) {
        failure = h->Describe();
        return nullptr;
    }
    return h;
}

ReadResult Read(UrlHandle& h, std::span<std::uint8_t> dest) {
    if (h.StopRequested()) {
        if (!h.done) {
            h.done = true;
            h.result = CURLE_ABORTED_BY_CALLBACK;
        }
        return {ReadStatus::kFailed, 0, h.Describe()};
    }
    if (h.too_large) return {ReadStatus::kTooLarge, 0, h.Describe()};
    if (dest.empty()) return {ReadStatus::kOk, 0, {}};
    if (h.overflow_pos < h.overflow.size()) {
        std::size_t n = std::min(dest.size(), h.overflow.size() - h.overflow_pos);
        std::memcpy(dest.data(), h.overflow.data() + h.overflow_pos, n);
        h.overflow_pos += n;
        if (h.overflow_pos == h.overflow.size()) {
            // Its capacity stays for the next burst: one step of the transfer can deliver many
            // pieces, and giving the block back each time costs fresh pages each time.
            h.overflow.clear();
            h.overflow_pos = 0;
        }
        return {ReadStatus::kOk, n, {}};
    }
    if (h.paused) {
        // libcurl hands over what it kept, into `dest` and `overflow`, before this returns.
        h.paused = false;
        h.dest = dest;
        h.delivered = 0;
        const CURLcode resumed = curl_easy_pause(h.easy.get(), CURLPAUSE_CONT);
        h.dest = {};
        if (resumed != CURLE_OK && !h.done) {
            h.done = true;
            h.result = resumed;
        }
        if (h.too_large) {
            h.overflow = {};
            h.overflow_pos = 0;
            return {ReadStatus::kTooLarge, 0, h.Describe()};
        }
        if (h.delivered > 0) return {ReadStatus::kOk, h.delivered, {}};
    }
    if (!h.done) {
        h.dest = dest;
        h.delivered = 0;
        h.Pump([&h] { return h.delivered > 0; });
        h.dest = {};
        if (h.too_large) {
            h.overflow = {};
            h.overflow_pos = 0;
            return {ReadStatus::kTooLarge, 0, h.Describe()};
        }
        if (h.delivered > 0) return {ReadStatus::kOk, h.delivered, {}};
    }
    if (h.StopRequested()) return {ReadStatus::kFailed, 0, h.Describe()};
    if (h.result == CURLE_FILESIZE_EXCEEDED) return {ReadStatus::kTooLarge, 0, h.Describe()};
    if (h.result != CURLE_OK) return {ReadStatus::kFailed, 0, h.Describe()};
    return {ReadStatus::kOk, 0, {}};
}

}  // namespace urlclient
