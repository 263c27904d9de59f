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

// The same again, saying in `failure` why it returned 0 (urlclient::Failure::Kind::kNoUrl for an
// empty url, kEmptyBody for a response that came whole without a body, with its status, or the URL
// client's own reason), or why the body it returned is only part of the page (a cut or a stall:
// `partial_bytes` is then the count returned); kNone when the body came whole. A `stop` that is
// stopped ends the download at once, with no bytes and kStopped, unless the body had already come
// whole; null: none. Memory for the body that cannot be had gives 0 and kNoMemory, never an
// exception. A `progress` counts the transfer as it goes, for another thread to show; null: none.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits, urlclient::StopSignal* stop,
                           urlclient::Failure& failure,
                           urlclient::TransferProgress* progress = nullptr);

}  // namespace Module1
