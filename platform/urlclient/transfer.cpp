#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/urlclient/kept.h"
#include "platform/urlclient/transfer.h"

namespace urlclient {

namespace {

// Larger than libcurl's 16 KiB default: fewer trips through the transfer loop for big bodies. Not
// much larger: the buffer stays in the cache next to the body held ahead, and what libcurl keeps
// each time the transfer waits for the reads (at most one buffer's worth) stays small.
constexpr long kReceiveBuffer = 32 * 1024;
// The most the holding buffer takes up front, however far ahead the session reads.
constexpr std::size_t kMaxReserve = std::size_t{4} << 20;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// `url` whole, as libcurl will send it: with the scheme it would guess where none is written
// ("www.example.jp" is http), so that the proxy is chosen for the request that is made. As it is
// where libcurl cannot parse it; libcurl then says why.
std::string WithScheme(const std::string& url) {
    std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    char* whole = nullptr;
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_URL, &whole, 0) != CURLUE_OK)
        return url;
    std::string out = whole;
    curl_free(whole);
    return out;
}

// The redirects that are followed, as browsers follow them; the others' pages are shown.
bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Where a Location header's `target` leads from `base`, as a URL to send; empty where no URL can
// be made of it.
std::string RedirectTarget(const std::string& base, std::string_view target) {
    std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    char* whole = nullptr;
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK ||
        curl_url_set(parsed.get(), CURLUPART_URL, EncodeUrl(target).c_str(),
                     CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_URL, &whole, 0) != CURLUE_OK)
        return "";
    std::string out = whole;
    curl_free(whole);
    return out;
}

}  // namespace

std::string TransferProgress::Proxy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxy_;
}

void TransferProgress::SetProxy(std::string host_and_port) {
    std::lock_guard<std::mutex> lock(mutex_);
    proxy_ = std::move(host_and_port);
}

UrlHandle::UrlHandle(Session& owner) : session_(owner) {
    ++session_.open_urls;
}

UrlHandle::~UrlHandle() {
    if (session_.options.stop && multi_) session_.options.stop->Detach(multi_);
    // libcurl wants the easy handle out of the multi handle before either is cleaned up; then
    // the easy handle, the multi handle (or the kept one given back) and the header list go, in
    // that order. A transfer that did not end whole leaves its connection closed, never kept.
    End();
    if (borrowed_) kept_->GiveBack(multi_);
    own_multi_.reset();
    --session_.open_urls;
}

bool UrlHandle::StopRequested() const {
    return session_.options.stop != nullptr && session_.options.stop->Stopped();
}

void UrlHandle::Abort(Cause cause) {
    if (cause_ == Cause::kNone) cause_ = cause;
}

void UrlHandle::Finish(CURLcode code) {
    if (done_) return;
    done_ = true;
    // However the connection ended, a compressed stream that stops short is part of a page.
    if (code == CURLE_OK && decoder_ && decoder_->Started() && !decoder_->Ended()) {
        code = CURLE_PARTIAL_FILE;
        std::snprintf(error_text_, sizeof error_text_, "the compressed body (%s) ends early",
                      content_encoding_.c_str());
    }
    result_ = code;
    // libcurl ends a transfer whole only once the whole body has come; a cause noted after that,
    // while it closed the connection (waiting for an ftp server's answer to QUIT, with Esc pressed
    // meanwhile perhaps), ended nothing of the page.
    if (code == CURLE_OK) cause_ = Cause::kNone;
}

bool UrlHandle::Stalled() {
    // The stall clock runs once a connection stands; before that the connect time-out rules.
    // Should the connection go unnoticed, the stall clock starts when that time-out is over.
    if (!connected_) {
        // A kept connection reused has no connect time of its own, but a time to the request.
        curl_off_t connect_time = 0, pretransfer_time = 0;
        const bool connect_seen =
            (curl_easy_getinfo(easy_.get(), CURLINFO_CONNECT_TIME_T, &connect_time) == CURLE_OK &&
             connect_time > 0) ||
            (curl_easy_getinfo(easy_.get(), CURLINFO_PRETRANSFER_TIME_T, &pretransfer_time) ==
                 CURLE_OK &&
             pretransfer_time > 0);
        if (!connect_seen && Clock::now() - started_ < session_.options.limits.connect_timeout)
            return false;
        connected_ = true;
        last_activity_ = Clock::now();
    }
    return Clock::now() - last_activity_ >= session_.options.limits.stall_timeout;
}

std::size_t UrlHandle::OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& h = *static_cast<UrlHandle*>(user);
    std::size_t n = size * count;
    h.last_activity_ = Clock::now();
    // A redirect's own page is not the page.
    if (h.redirect_) return n;
    h.head_done_ = true;
    // Pausing makes libcurl keep this piece, and the rest of what it has received, until the
    // reads ask for more. A compressed body is never paused: the rest of its block could expand a
    // thousandfold in the decoder, past any cap of ours.
    if (h.delivered_ == h.dest_.size() && !h.encoded_ &&
        h.overflow_.size() - h.overflow_pos_ >= h.session_.options.read_ahead) {
        h.paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data), n);
    const bool ok = h.encoded_ ? h.DecodeAndDeliver(bytes) : h.Deliver(bytes);
    return ok ? n : 0;  // 0 makes libcurl abort the transfer
}

bool UrlHandle::Deliver(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    body_bytes_ += n;
    if (body_bytes_ > session_.options.limits.max_body_bytes) {
        Abort(Cause::kTooLarge);
        return false;
    }
    std::size_t room = dest_.size() - delivered_;
    std::size_t direct = std::min(room, n);
    if (direct > 0) {
        std::memcpy(dest_.data() + delivered_, bytes.data(), direct);
        delivered_ += direct;
    }
    if (direct < n) {
        // An exception must not cross libcurl: running out of memory ends the transfer instead.
        try {
            if (overflow_.capacity() == 0 && !encoded_) {
                // Taken once, at its full size (what is held ahead plus the one piece that passes
                // it), before the reader's array has grown: the holding place never sits among
                // the array's old blocks, which the allocator could then not give back.
                overflow_.reserve(std::min(session_.options.read_ahead, kMaxReserve) +
                                  CURL_MAX_WRITE_SIZE);
            }
            if (overflow_pos_ == overflow_.size()) {
                overflow_.clear();
                overflow_pos_ = 0;
            }
            overflow_.insert(overflow_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(direct),
                             bytes.end());
        } catch (const std::exception&) {
            Abort(Cause::kNoMemory);
            return false;
        }
    }
    return true;
}

bool UrlHandle::DecodeAndDeliver(std::span<const std::uint8_t> bytes) {
    try {
        if (!decoder_made_) {
            decoder_made_ = true;
            decoder_ = BodyDecoder::For(content_encoding_, decode_error_);
        }
        if (!decode_error_.empty()) {
            Abort(Cause::kBadEncoding);
            return false;
        }
        if (!decoder_) return Deliver(bytes);  // "identity"
        const BodyDecoder::Status status = decoder_->Feed(
            bytes, [this](std::span<const std::uint8_t> piece) { return Deliver(piece); });
        if (status == BodyDecoder::Status::kBad) {
            decode_error_ = decoder_->Error();
            Abort(Cause::kBadEncoding);
        }
        return status == BodyDecoder::Status::kOk;
    } catch (const std::exception&) {
        Abort(Cause::kNoMemory);
        return false;
    }
}

std::size_t UrlHandle::OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& h = *static_cast<UrlHandle*>(user);
    std::size_t n = size * count;
    h.last_activity_ = Clock::now();
    h.head_bytes_ += n;
    if (h.head_bytes_ > h.session_.options.limits.max_head_bytes) {
        h.Abort(Cause::kHeadTooLarge);
        return 0;  // makes libcurl abort the transfer
    }
    std::string_view line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
        std::size_t space = line.find(' ');
        h.status_ = space == std::string_view::npos
                        ? 0
                        : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        h.saw_location_ = false;
        h.encoded_ = false;
        h.content_encoding_.clear();
    } else if (StartsWithNoCase(line, "location:")) {
        std::string_view value = line.substr(9);
        const std::size_t first = value.find_first_not_of(" \t");
        const std::size_t last = value.find_last_not_of(" \t\r\n");
        h.location_ = first == std::string_view::npos
                          ? std::string()
                          : std::string(value.substr(first, last - first + 1));
        h.saw_location_ = true;
    } else if (StartsWithNoCase(line, "content-encoding:")) {
        h.encoded_ = true;
        // Several fields make one list, in order.
        if (!h.content_encoding_.empty()) h.content_encoding_ += ',';
        h.content_encoding_ += line.substr(17, line.find_last_not_of("\r\n") + 1 - 17);
    } else if (line.size() >= 4 && line[3] == ' ' &&
               (line.starts_with("150") || line.starts_with("125"))) {
        h.ftp_sending_ = true;
    } else if (h.ftp_sending_ && line.size() >= 4 && line[3] == ' ' &&
               (line.starts_with("226") || line.starts_with("250"))) {
        // The ftp server says that the file was sent, and libcurl reads this only once the data
        // connection has closed: the file is here. The answer to QUIT, as the control connection
        // closes, is not waited for: some servers never give it, and libcurl would wait for it
        // until the stall time. The QUIT still goes out.
        for (const curl_socket_t socket : h.sockets_) shutdown(socket, SHUT_RD);
    } else if ((line == "\r\n" || line == "\n") && h.status_ >= 200) {
        // The end of a head that is not an interim 1xx: a redirect to follow (where a URL can be
        // made of its Location), or the response to show.
        if (IsRedirect(h.status_) && h.saw_location_)
            h.redirect_to_ = RedirectTarget(h.url_, h.location_);
        if (!h.redirect_to_.empty())
            h.redirect_ = true;
        else
            h.head_done_ = true;
    }
    return n;
}

int UrlHandle::OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                          curl_off_t) {
    auto& h = *static_cast<UrlHandle*>(user);
    if (h.StopRequested()) {
        h.Abort(Cause::kStopped);
        return 1;  // makes libcurl abort the transfer
    }
    if (dlnow != h.last_wire_bytes_) {
        h.last_wire_bytes_ = dlnow;
        h.last_activity_ = Clock::now();
        if (TransferProgress* progress = h.session_.options.progress) {
            progress->received.store(static_cast<std::uint64_t>(dlnow), std::memory_order_relaxed);
            progress->expected.store(static_cast<std::uint64_t>(std::max<curl_off_t>(dltotal, 0)),
                                     std::memory_order_relaxed);
        }
    }
    // libcurl also calls this, about once a second, while it waits on its own between reads: for
    // an ftp server's closing answers, for instance. The stall time ends those waits too; a
    // transfer paused for the reads is waiting for us, not for the server.
    if (!h.paused_ && h.Stalled()) {
        h.Abort(Cause::kStalled);
        return 1;
    }
    return 0;
}

curl_socket_t UrlHandle::OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto& h = *static_cast<UrlHandle*>(user);
    try {
        h.sockets_.reserve(h.sockets_.size() + 1);
    } catch (const std::exception&) {
        return CURL_SOCKET_BAD;
    }
    const curl_socket_t socket =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket != CURL_SOCKET_BAD) h.sockets_.push_back(socket);
    return socket;
}

int UrlHandle::OnCloseSocket(void* user, curl_socket_t socket) {
    auto& h = *static_cast<UrlHandle*>(user);
    std::erase(h.sockets_, socket);
    return ::close(socket);
}

template <typename Pred>
void UrlHandle::Pump(Pred until) {
    const auto stall = session_.options.limits.stall_timeout;
    while (!done_ && !until()) {
        // Stop() wakes the wait below, so a stop is seen here at once, whatever the transfer
        // waits for; libcurl's progress callback alone would see it only once a second.
        if (StopRequested()) {
            Abort(Cause::kStopped);
            Finish(CURLE_ABORTED_BY_CALLBACK);
            break;
        }
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            Finish(CURLE_FAILED_INIT);
            break;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg == CURLMSG_DONE) Finish(msg->data.result);
        }
        if (done_ || until()) break;

        auto wait = std::chrono::milliseconds(1000);
        if (Stalled()) {
            Abort(Cause::kStalled);
            Finish(CURLE_OPERATION_TIMEDOUT);
            break;
        }
        if (connected_) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                      stall - (Clock::now() - last_activity_)));
        } else {
            wait = std::chrono::milliseconds(50);  // look for the connection soon
        }
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
}

void UrlHandle::End() {
    if (attached_) curl_multi_remove_handle(multi_, easy_.get());
    attached_ = false;
    easy_.reset();
}

bool UrlHandle::Begin(const std::string& url, const Proxy& proxy) {
    End();
    url_ = url;
    proxy_ = proxy;
    dest_ = {};
    delivered_ = 0;
    overflow_.clear();
    overflow_pos_ = 0;
    paused_ = false;
    encoded_ = false;
    content_encoding_.clear();
    decoder_.reset();
    decoder_made_ = false;
    decode_error_.clear();
    ftp_sending_ = false;
    body_bytes_ = 0;
    head_bytes_ = 0;
    status_ = 0;
    saw_location_ = false;
    location_.clear();
    redirect_to_.clear();
    head_done_ = false;
    redirect_ = false;
    done_ = false;
    result_ = CURLE_OK;
    cause_ = Cause::kNone;
    error_text_[0] = '\0';
    started_ = Clock::now();
    connected_ = false;
    last_wire_bytes_ = 0;
    last_activity_ = started_;
    if (TransferProgress* progress = session_.options.progress) {
        progress->SetProxy(ProxyHostAndPort(proxy.url));
        progress->received.store(0, std::memory_order_relaxed);
        progress->expected.store(0, std::memory_order_relaxed);
    }

    easy_.reset(curl_easy_init());
    if (!easy_) return false;
    const SessionOptions& o = session_.options;
    CURL* e = easy_.get();
    const long response_seconds = static_cast<long>(std::max<std::int64_t>(
        1, std::chrono::ceil<std::chrono::seconds>(o.limits.stall_timeout).count()));
    bool ok = curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_text_) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_URL, url_.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,ftp") == CURLE_OK &&
              // Redirects are followed here, each to the proxy chosen for its own URL.
              curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_USERAGENT, o.agent.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HTTPHEADER, request_headers_.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, kAcceptedEncodings) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(o.limits.connect_timeout.count())) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SHARE, kept_->share()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_COOKIEFILE, "") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &UrlHandle::OnBody) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEDATA, this) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &UrlHandle::OnHeader) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERDATA, this) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &UrlHandle::OnProgress) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_XFERINFODATA, this) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                               static_cast<curl_off_t>(o.limits.max_body_bytes)) == CURLE_OK &&
              // The way chosen, and no other: an empty proxy goes straight to the server, and an
              // empty bypass list keeps no_proxy out too. libcurl then never reads the variables.
              curl_easy_setopt(e, CURLOPT_PROXY, proxy_.url.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOPROXY, "") == CURLE_OK &&
              // A proxy's user name and password, in whatever scheme the proxy asks for.
              curl_easy_setopt(e, CURLOPT_PROXYAUTH, CURLAUTH_ANY) == CURLE_OK &&
              // An http connection is kept for the next request to the same server (through the
              // same proxy), for a minute at most. An ftp connection closes as its transfer ends,
              // inside the transfer's own waits, which the stop signal and the stall time end:
              // kept, its closing would wait for the server to answer QUIT, outside them.
              curl_easy_setopt(e, CURLOPT_FORBID_REUSE, PartsOf(url_).scheme == "ftp" ? 1L : 0L) ==
                  CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXAGE_CONN,
                               static_cast<long>(Kept::kIdleTime.count())) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, response_seconds) == CURLE_OK &&
              // A name look-up that outlives the transfer is left to end on its own thread rather
              // than waited for.
              curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK;
    // libcurl's own decoding is off: a compressed body is decoded here, where a stream that stops
    // short shows (decode_body.h). Nothing older than TLS 1.2, whatever this machine's OpenSSL
    // would allow: a server that offers only an older version is refused, and told apart.
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK &&
         curl_easy_setopt(e, CURLOPT_SSLVERSION, long{CURL_SSLVERSION_TLSv1_2}) == CURLE_OK;
    // An ftp transfer's sockets are counted, for OnHeader to close the reading side of its control
    // connection. Only an ftp transfer's: libcurl gives a connection's callbacks this handle, and
    // only an ftp connection is sure to close while the handle lives (an http one may be kept).
    if (ok && PartsOf(url_).scheme == "ftp") {
        ok =
            curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &UrlHandle::OnOpenSocket) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, this) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &UrlHandle::OnCloseSocket) ==
                CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, this) == CURLE_OK;
    }
    if (ok && !proxy_.user.empty()) {
        ok = curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, proxy_.user.c_str()) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, proxy_.password.c_str()) == CURLE_OK;
    }
    if (ok && !o.ca_file.empty()) {
        // The file alone: libcurl would otherwise still look in the system's directory of CAs.
        ok = curl_easy_setopt(e, CURLOPT_CAINFO, o.ca_file.c_str()) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<const char*>(nullptr)) == CURLE_OK;
    }
    if (!ok || curl_multi_add_handle(multi_, e) != CURLM_OK) return false;
    attached_ = true;
    return true;
}

bool UrlHandle::TryNextWay(const Failure& failure, const Proxy& next) const {
    using Kind = Failure::Kind;
    switch (failure.kind) {
        case Kind::kProxyNotFound:
        case Kind::kProxyConnectionRefused:
        case Kind::kProxyCouldNotConnect:
            return true;
        case Kind::kProxyTimedOut:
            // Not when the proxy took the connection and then went quiet: it may be waiting for
            // the server, and would have the same wait through the next one.
            return cause_ != Cause::kStalled;
        default:
            break;
    }
    // A proxy named as plain SOCKS is tried as version 5 and then 4; a handshake that fails in one
    // goes on to the other.
    constexpr std::string_view kV5 = "socks5h://", kV4 = "socks4a://";
    return result_ == CURLE_PROXY && proxy_.url.starts_with(kV5) && next.url.starts_with(kV4) &&
           proxy_.url.substr(kV5.size()) == next.url.substr(kV4.size());
}

std::optional<std::uint64_t> UrlHandle::DeclaredLength() const {
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length < 0 || static_cast<std::uint64_t>(length) > session_.options.limits.max_body_bytes)
        return std::nullopt;
    return static_cast<std::uint64_t>(length);
}

bool UrlHandle::Open(std::string_view url, unsigned flags, Failure& failure) {
    using Kind = Failure::Kind;
    failure = {};
    auto fail = [&failure](Kind kind, const char* text) {
        failure.kind = kind;
        failure.text = text;
        return false;
    };
    kept_ = Kept::Get();
    if (kept_ == nullptr) return fail(Kind::kNoSession, "libcurl is not set up");
    multi_ = kept_->Lend();
    borrowed_ = multi_ != nullptr;
    if (!borrowed_) {
        own_multi_.reset(curl_multi_init());
        multi_ = own_multi_.get();
    }
    if (!multi_) return fail(Kind::kNoMemory, "no memory for the transfer");
    if (session_.options.stop) session_.options.stop->Attach(multi_);
    if (flags & kReload) {
        curl_slist* list = nullptr;
        for (const char* line : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
            curl_slist* grown = curl_slist_append(list, line);
            if (!grown) {
                curl_slist_free_all(list);
                return fail(Kind::kNoMemory, "no memory for the request");
            }
            list = grown;
        }
        request_headers_.reset(list);
    }

    std::string current = WithScheme(EncodeUrl(url));
    for (int redirects = 0;; ++redirects) {
        std::vector<Proxy> ways;
        if (session_.options.proxies) ways = session_.options.proxies(current);
        if (ways.empty()) ways.emplace_back();
        for (std::size_t i = 0;; ++i) {
            if (!Begin(current, ways[i]))
                return fail(Kind::kOther, "the transfer cannot be set up");
            Pump([this] { return head_done_ || redirect_; });
            if ((cause_ == Cause::kTooLarge || result_ == CURLE_FILESIZE_EXCEEDED) &&
                !StopRequested()) {
                // A declared or decoded size past the cap: the reads report it.
                Abort(Cause::kTooLarge);
                return true;
            }
            if (!done_ || result_ == CURLE_OK || head_done_ || redirect_) break;
            failure = Describe();
            if (i + 1 < ways.size() && TryNextWay(failure, ways[i + 1])) continue;
            return false;
        }
        if (!redirect_) break;

        const std::string next = redirect_to_;
        const UrlParts parts = PartsOf(next);
        if (redirects == kMaxRedirects || (parts.scheme != "http" && parts.scheme != "https")) {
            const UrlParts here = PartsOf(url_);
            failure.kind =
                redirects == kMaxRedirects ? Kind::kTooManyRedirects : Kind::kRedirectScheme;
            failure.text = redirects == kMaxRedirects ? "too many redirects"
                                                      : "a redirect to a scheme not followed";
            failure.host = here.host;
            failure.scheme = failure.kind == Kind::kRedirectScheme ? parts.scheme : here.scheme;
            failure.proxy = ProxyHostAndPort(proxy_.url);
            return false;
        }
        current = next;
    }

    if (TransferProgress* progress = session_.options.progress) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
                CURLE_OK &&
            length > 0)
            progress->expected.store(static_cast<std::uint64_t>(length), std::memory_order_relaxed);
        progress->answered.store(true, std::memory_order_release);
    }
    return true;
}

ReadResult UrlHandle::Read(std::span<std::uint8_t> dest) {
    if (StopRequested() && !EndedWhole()) {
        Abort(Cause::kStopped);
        Finish(CURLE_ABORTED_BY_CALLBACK);
        return {ReadStatus::kFailed, 0, Describe()};
    }
    auto too_large = [this] {
        overflow_ = {};
        overflow_pos_ = 0;
        return ReadResult{ReadStatus::kTooLarge, 0, Describe()};
    };
    if (cause_ == Cause::kTooLarge) return too_large();
    if (dest.empty()) return {ReadStatus::kOk, 0, {}};
    if (overflow_pos_ < overflow_.size()) {
        std::size_t n = std::min(dest.size(), overflow_.size() - overflow_pos_);
        std::memcpy(dest.data(), overflow_.data() + overflow_pos_, n);
        overflow_pos_ += n;
        if (overflow_pos_ == overflow_.size()) {
            // Its capacity stays for the next burst: one step of the transfer can deliver many
            // pieces, and giving the block back each time costs fresh pages each time.
            overflow_.clear();
            overflow_pos_ = 0;
        }
        return {ReadStatus::kOk, n, {}};
    }
    if (paused_) {
        // libcurl hands over what it kept, into `dest` and `overflow_`, before this returns.
        paused_ = false;
        dest_ = dest;
        delivered_ = 0;
        const CURLcode resumed = curl_easy_pause(easy_.get(), CURLPAUSE_CONT);
        dest_ = {};
        if (resumed != CURLE_OK) Finish(resumed);
        if (cause_ == Cause::kTooLarge) return too_large();
        if (delivered_ > 0) return {ReadStatus::kOk, delivered_, {}};
    }
    if (!done_) {
        dest_ = dest;
        delivered_ = 0;
        Pump([this] { return delivered_ > 0; });
        dest_ = {};
        if (cause_ == Cause::kTooLarge) return too_large();
        if (delivered_ > 0) return {ReadStatus::kOk, delivered_, {}};
    }
    if (EndedWhole()) return {ReadStatus::kOk, 0, {}};
    if (StopRequested()) return {ReadStatus::kFailed, 0, Describe()};
    if (result_ == CURLE_FILESIZE_EXCEEDED) return {ReadStatus::kTooLarge, 0, Describe()};
    if (result_ != CURLE_OK || cause_ != Cause::kNone) return {ReadStatus::kFailed, 0, Describe()};
    return {ReadStatus::kOk, 0, {}};
}

UrlPtr OpenUrl(Session& session, std::string_view url, unsigned flags) {
    Failure failure;
    return OpenUrl(session, url, flags, failure);
}

UrlPtr OpenUrl(Session& session, std::string_view url, unsigned flags, Failure& failure) {
    UrlPtr h(new UrlHandle(session));
    if (!h->Open(url, flags, failure)) return nullptr;
    return h;
}

ReadResult Read(UrlHandle& h, std::span<std::uint8_t> dest) {
    return h.Read(dest);
}

int ResponseStatus(UrlHandle& h) {
    return h.status();
}

std::optional<std::uint64_t> DeclaredLength(UrlHandle& h) {
    return h.DeclaredLength();
}

}  // namespace urlclient
