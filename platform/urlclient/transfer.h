#pragma once

// What the URL client's files share about a session and a URL opened in it. Internal to this
// folder: the rest of the program sees url_client.h alone.

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/urlclient/decode_body.h"
#include "platform/urlclient/url_client.h"

namespace urlclient {

class Kept;
using Clock = std::chrono::steady_clock;

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
    int open_urls = 0;
};

// A URL opened in a session: the requests that reach it (the first, then each redirect's), each
// tried the ways the session's chooser gives, and the body of the last, read as it arrives.
class UrlHandle {
public:
    explicit UrlHandle(Session& owner);
    ~UrlHandle();
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;

    // See OpenUrl, Read, ResponseStatus and DeclaredLength.
    bool Open(std::string_view url, unsigned flags, Failure& failure);
    ReadResult Read(std::span<std::uint8_t> dest);
    int status() const { return status_; }
    std::optional<std::uint64_t> DeclaredLength() const;

private:
    // Why our side ended a transfer, beside the code libcurl ended it with.
    enum class Cause {
        kNone,          // libcurl ended it by itself; its code says how
        kStopped,       // the session's StopSignal
        kStalled,       // nothing arrived for the stall time
        kTooLarge,      // the body passed the cap
        kHeadTooLarge,  // the response head passed what is accepted
        kNoMemory,      // memory to hold the body ahead of the reads could not be had
        kBadEncoding,   // the body is not in its Content-Encoding: `decode_error_` says how
    };

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user);
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user);
    static int OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t);
    static curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address);
    static int OnCloseSocket(void* user, curl_socket_t socket);
    // Hands body bytes, as decoded, to the reads; false ends the transfer (the cap, or memory).
    bool Deliver(std::span<const std::uint8_t> bytes);
    // Decodes body bytes sent with a Content-Encoding and delivers what they decode to.
    bool DecodeAndDeliver(std::span<const std::uint8_t> bytes);

    // Sets up one request for `url` (as it is sent) the way `proxy`, in a fresh easy handle, and
    // starts it; false when libcurl refuses (its text in error_text_).
    bool Begin(const std::string& url, const Proxy& proxy);
    // Lets go of the request in progress: its easy handle leaves the multi handle and closes.
    void End();
    // Runs the transfer until `until()` holds or it ends; applies the stall time.
    template <typename Pred>
    void Pump(Pred until);
    // Whether nothing has arrived for the stall time, once a connection stands; notes the
    // connection when libcurl reports one.
    bool Stalled();
    bool StopRequested() const;
    // Whether the transfer has ended with the whole body delivered to the callbacks.
    bool EndedWhole() const { return done_ && result_ == CURLE_OK && cause_ == Cause::kNone; }

    // Notes why our side is about to end the transfer (a callback's abort, or the pump giving up);
    // the first cause noted stays.
    void Abort(Cause cause);
    // The one place where a transfer ends: libcurl's code, as it reported it or as our side
    // gives it. A later end keeps the first one's code; a whole body drops the noted cause. A
    // compressed stream that stops short makes a whole transfer a partial one.
    void Finish(CURLcode code);
    // Why the transfer brought nothing (more), from what it ended with (classify.cpp).
    Failure Describe() const;
    // A failure of the current request that lets it try its next way: the proxy could not be
    // reached, or (a SOCKS 5 proxy to be tried as SOCKS 4 next) could not be spoken to.
    bool TryNextWay(const Failure& failure, const Proxy& next) const;

    Session& session_;
    std::unique_ptr<curl_slist, SlistFree> request_headers_;
    // What sessions keep between them: the share, and the multi handle that holds the
    // connections kept, when this URL could borrow it; else a multi handle of its own, which keeps
    // none past this URL.
    Kept* kept_ = nullptr;
    CURLM* multi_ = nullptr;
    bool borrowed_ = false;
    std::unique_ptr<CURLM, MultiCleanup> own_multi_;
    std::unique_ptr<CURL, EasyCleanup> easy_;
    bool attached_ = false;

    // The request in progress: its URL as sent, and the way it went.
    std::string url_;
    Proxy proxy_;

    // Where the body goes: straight into the caller's buffer during a read, the surplus (and
    // whatever arrives while opening) into `overflow_`, which is only filled once it is empty.
    std::span<std::uint8_t> dest_;
    std::size_t delivered_ = 0;
    std::vector<std::uint8_t> overflow_;
    std::size_t overflow_pos_ = 0;
    // Once `overflow_` holds SessionOptions::read_ahead bytes, libcurl is paused rather than
    // handed more: a body that arrives faster than it is read then waits in the socket, and
    // `overflow_` stays small enough to be copied out of the cache instead of memory.
    bool paused_ = false;
    bool encoded_ = false;  // the response's body is being decoded (Content-Encoding)
    // The response's Content-Encoding, and its decoder once the body has begun: libcurl's own
    // decoding is off (decode_body.h says why).
    std::string content_encoding_;
    std::unique_ptr<BodyDecoder> decoder_;
    bool decoder_made_ = false;
    std::string decode_error_;

    std::uint64_t body_bytes_ = 0;
    std::uint64_t head_bytes_ = 0;
    int status_ = 0;
    bool saw_location_ = false;
    std::string location_;    // the Location of the last response that had one
    bool head_done_ = false;  // the head of a response to show has come
    bool redirect_ = false;   // the head of a redirect to follow has come: to `redirect_to_`
    std::string redirect_to_;

    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    Cause cause_ = Cause::kNone;
    char error_text_[CURL_ERROR_SIZE] = {};

    // The sockets libcurl has open. Once an ftp server has said that the file was sent (226 after
    // its 150), the only one left is the control connection.
    std::vector<curl_socket_t> sockets_;
    bool ftp_sending_ = false;  // the ftp server has said that the file is on its way (150, 125)

    Clock::time_point started_ = Clock::now();
    bool connected_ = false;
    curl_off_t last_wire_bytes_ = 0;
    Clock::time_point last_activity_ = Clock::now();
};

}  // namespace urlclient
