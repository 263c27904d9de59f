#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "platform/urlclient/url_client.h"

namespace Module1 {

// Downloads the body of `url` into `body` and returns its length in bytes; `body` then holds
// exactly that many bytes. Whatever the status, the body the server sends (an error page too)
// comes back. An empty `proxy` uses the system's proxy settings; otherwise `proxy` names the proxy
// for every address, with nothing bypassed. A read that breaks part-way returns the bytes so far.
// Returns 0 when nothing came: for an empty url (nothing is sent and `body` is left alone), when
// the url cannot be opened (`body` is left alone), and for an empty body, a body larger than
// 256 MiB or one that fails before its first byte (`body` is emptied and its memory released).
// Safe to call from any thread once urlclient::GlobalInit exists.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy);

// The same, with the client's time-outs and size cap given instead of the defaults.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits);

// Why a download brought nothing.
struct Reason {
    enum class Kind {
        kNone,       // the body came
        kNoUrl,      // the url was empty: nothing was sent
        kEmptyBody,  // the response came whole, without a body: `http_status` says which
        kClient,     // the URL client's failure, in `client`: no answer, cut off, too large, ...
    };
    Kind kind = Kind::kNone;
    int http_status = 0;  // kEmptyBody: the response's HTTP status; 0 for other schemes
    urlclient::Failure client;
};

// The same again, handing back in `reason` why it returned 0 (kNone when it did not). A `stop`
// that is stopped ends the download at once, with no bytes and the client's kStopped; null: none.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits, urlclient::StopSignal* stop,
                           Reason& reason);

}  // namespace Module1
