#pragma once

// What the URL client's files share about a session and a transfer in progress. Internal to this
// folder: the rest of the program sees url_client.h alone.

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/urlclient/url_client.h"

namespace urlclient {

using Clock = std::chrono::steady_clock;

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

// Whether a GlobalInit that set libcurl up is alive: sessions open only then.
bool LibcurlSetUp();

class Session {
public:
    SessionOptions options;
    // Shares resolved names and cookies between the URLs opened in this session.
    std::unique_ptr<CURLSH, ShareCleanup> share;
    int open_urls = 0;
};

class UrlHandle {
public:
    explicit UrlHandle(Session& owner);
    ~UrlHandle();
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;

    bool StopRequested() const {
        return session.options.stop != nullptr && session.options.stop->Stopped();
    }
    // Lets the session's StopSignal wake the transfer's waits from another thread.
    void AttachToStopSignal();
    // Whether the transfer has ended with the whole body delivered to libcurl's callbacks.
    bool EndedWhole() const { return done && result == CURLE_OK && !too_large; }
    // Why the transfer brought nothing (more), from what it ended with.
    Failure Describe() const;
    // Runs the transfer until `until()` holds or it ends; applies the stall time.
    template <typename Pred>
    void Pump(Pred until);
    // Whether nothing has arrived for the stall time, once a connection stands; notes the
    // connection when libcurl reports one.
    bool Stalled();

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
    std::string location;  // the Location of the last response that had one
    bool head_done = false;
    bool done = false;
    bool too_large = false;
    bool head_too_large = false;
    bool out_of_memory = false;
    bool stalled = false;  // ended by the stall time rather than libcurl's connect time-out
    CURLcode result = CURLE_OK;
    char error_text[CURL_ERROR_SIZE] = {};

    const Clock::time_point started = Clock::now();
    bool connected = false;
    curl_off_t last_wire_bytes = 0;
    Clock::time_point last_activity = Clock::now();
};

}  // namespace urlclient
