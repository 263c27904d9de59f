#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

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

}  // namespace

UrlHandle::UrlHandle(Session& owner) : session(owner) {
    ++session.open_urls;
}

UrlHandle::~UrlHandle() {
    if (session.options.stop && multi) session.options.stop->Detach(multi.get());
    // libcurl wants the easy handle out of the multi handle before either is cleaned up;
    // the members then go in reverse order: easy, multi, header list.
    if (attached) curl_multi_remove_handle(multi.get(), easy.get());
    easy.reset();
    multi.reset();
    --session.open_urls;
}

void UrlHandle::AttachToStopSignal() {
    if (session.options.stop) session.options.stop->Attach(multi.get());
}

bool UrlHandle::Stalled() {
    // The stall clock runs once a connection stands; before that the connect time-out rules.
    // Should the connection go unnoticed, the stall clock starts when that time-out is over.
    if (!connected) {
        curl_off_t connect_time = 0;
        const bool connect_seen =
            curl_easy_getinfo(easy.get(), CURLINFO_CONNECT_TIME_T, &connect_time) == CURLE_OK &&
            connect_time > 0;
        if (!connect_seen && Clock::now() - started < session.options.limits.connect_timeout)
            return false;
        connected = true;
        last_activity = Clock::now();
    }
    return Clock::now() - last_activity >= session.options.limits.stall_timeout;
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
    if (h.head_bytes > h.session.options.limits.max_head_bytes) {
        h.head_too_large = true;
        return 0;  // makes libcurl abort the transfer
    }
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
        std::string_view value = line.substr(9);
        const std::size_t first = value.find_first_not_of(" \t");
        const std::size_t last = value.find_last_not_of(" \t\r\n");
        h.location = first == std::string_view::npos
                         ? std::string()
                         : std::string(value.substr(first, last - first + 1));
    } else if (StartsWithNoCase(line, "content-encoding:")) {
        h.encoded = true;
    } else if (line == "\r\n" || line == "\n") {
        // The head of the final response: not an interim 1xx, not a redirect about to be followed.
        bool redirect = h.status >= 300 && h.status < 400 && h.saw_location;
        if (h.status >= 200 && !redirect) h.head_done = true;
    }
    return n;
}

int OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto& h = *static_cast<UrlHandle*>(user);
    if (h.StopRequested()) return 1;  // makes libcurl abort the transfer
    if (dlnow != h.last_wire_bytes) {
        h.last_wire_bytes = dlnow;
        h.last_activity = Clock::now();
        if (TransferProgress* progress = h.session.options.progress) {
            progress->received.store(static_cast<std::uint64_t>(dlnow), std::memory_order_relaxed);
            progress->expected.store(static_cast<std::uint64_t>(std::max<curl_off_t>(dltotal, 0)),
                                     std::memory_order_relaxed);
        }
    }
    // libcurl also calls this, about once a second, while it waits on its own between reads: for
    // an ftp server's closing answers, for instance. The stall time ends those waits too; a
    // transfer paused for the reads is waiting for us, not for the server.
    if (!h.paused && h.Stalled()) {
        h.stalled = true;
        return 1;
    }
    return 0;
}

}  // namespace

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
                // Ended by the stall time inside libcurl's own wait (see OnProgress).
                if (result == CURLE_ABORTED_BY_CALLBACK && stalled && !StopRequested())
                    result = CURLE_OPERATION_TIMEDOUT;
            }
        }
        if (done || until()) break;

        auto wait = std::chrono::milliseconds(1000);
        if (Stalled()) {
            done = true;
            stalled = true;
            result = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        if (connected) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                      stall - (Clock::now() - last_activity)));
        } else {
            wait = std::chrono::milliseconds(50);  // look for the connection soon
        }
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
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
    const long response_seconds = static_cast<long>(std::max<std::int64_t>(
        1, std::chrono::ceil<std::chrono::seconds>(o.limits.stall_timeout).count()));
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
                               static_cast<curl_off_t>(o.limits.max_body_bytes)) == CURLE_OK &&
              // Credentials in the proxy variable, in whatever scheme the proxy asks for.
              curl_easy_setopt(e, CURLOPT_PROXYAUTH, CURLAUTH_ANY) == CURLE_OK &&
              // Each connection closes as its transfer ends, inside the transfer's own waits, which
              // the stop signal and the stall time end: left for later, an ftp connection would
              // wait up to two minutes for the server to answer its QUIT.
              curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, response_seconds) == CURLE_OK &&
              // A name look-up that outlives the transfer is left to end on its own thread rather
              // than waited for.
              curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK;
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
    if (o.progress) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(e, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length > 0)
            o.progress->expected.store(static_cast<std::uint64_t>(length),
                                       std::memory_order_relaxed);
        o.progress->answered.store(true, std::memory_order_release);
    }
    return h;
}

ReadResult Read(UrlHandle& h, std::span<std::uint8_t> dest) {
    if (h.StopRequested() && !h.EndedWhole()) {
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
    if (h.EndedWhole()) return {ReadStatus::kOk, 0, {}};
    if (h.StopRequested()) return {ReadStatus::kFailed, 0, h.Describe()};
    if (h.result == CURLE_FILESIZE_EXCEEDED) return {ReadStatus::kTooLarge, 0, h.Describe()};
    if (h.result != CURLE_OK) return {ReadStatus::kFailed, 0, h.Describe()};
    return {ReadStatus::kOk, 0, {}};
}

}  // namespace urlclient
