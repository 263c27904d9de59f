#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/urlclient/url_client.h"

namespace Module1 {

// Where the proxy of a request came from, so that a reason or a progress line can say what to
// check.
struct ProxyOrigin {
    enum class Kind {
        kNone,      // no proxy: straight to the server
        kArgument,  // the proxy DownloadBytes was given
        kVariable,  // a proxy variable: `variable`
        kDesktop,   // the desktop's proxy settings, set by hand
        kPacFile,   // the PAC file at `pac_url`, which the desktop's settings name
        kWpad,      // a PAC file that the network named (WPAD)
    };
    Kind kind = Kind::kNone;
    std::string variable;  // kVariable: its name ("https_proxy", "ALL_PROXY", ...)
    std::string pac_url;   // kPacFile; and with pac_unreadable
    // The desktop's settings name a PAC file (`pac_url`) that could not be had, so the request
    // went straight to the server, as browsers do.
    bool pac_unreadable = false;
};

// Why a download brought nothing, or only part of the body. The URL client's account is kept as
// it came; the download adds what it found itself.
struct DownloadFailure {
    enum class Kind {
        kNone,       // the body came whole
        kNoUrl,      // the URL was empty: nothing was sent
        kClient,     // the URL client's reason: `client`
        kEmptyBody,  // the response came whole, with no body: `http_status` (0 for ftp)
        kNoMemory,   // memory to hold the body could not be had
    };
    Kind kind = Kind::kNone;
    urlclient::Failure client;  // kClient: why the transfer brought nothing, or no more
    int http_status = 0;        // kEmptyBody
    // Nonzero when the body came only in part (kind kClient): this many bytes came and are
    // returned.
    std::uint64_t partial_bytes = 0;
    ProxyOrigin origin;  // of the last request made
};

// How a download is going, for another thread to show while it runs: the transfer's numbers, and
// where its proxy comes from.
struct DownloadProgress {
    urlclient::TransferProgress transfer;
    // The proxy settings are being read (a PAC file fetched and run, perhaps): no request yet.
    std::atomic<bool> choosing_proxy{false};

    ProxyOrigin Origin() const;
    void SetOrigin(ProxyOrigin origin);

private:
    mutable std::mutex mutex_;
    ProxyOrigin origin_;
};

// Starts, without waiting for it, what the first download with the system's proxy settings would
// otherwise wait for (the program that reads the desktop's settings). Call it once the window is
// up; a download works without it.
void PrepareProxySettings();

// Downloads the body of `url` into `body` and returns its length in bytes; `body` then holds
// exactly that many bytes. Whatever the status, the body the server sends (an error page too)
// comes back. An empty `proxy` uses the system's proxy settings: the proxy variables when one is
// set for the URL's scheme (with no_proxy), else the desktop's settings (libproxy: GNOME's, KDE's,
// a PAC file, WPAD), else straight to the server, decided anew for each redirect's target; a list
// of proxies is tried in order. Otherwise `proxy` names the proxy for every address, with nothing
// bypassed. A read that breaks part-way returns the bytes so far.
// Returns 0 when nothing came: for an empty url (nothing is sent and `body` is left alone), when
// the url cannot be opened (`body` is left alone), and for an empty body, a body larger than
// 256 MiB or one that fails before its first byte (`body` is emptied and its memory released).
// Safe to call from any thread once urlclient::GlobalInit exists.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy);

// The same, with the client's time-outs and size cap given instead of the defaults.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits);

// The same again, saying in `failure` why it returned 0, or why the body it returned is only part
// of the page (a cut or a stall: `partial_bytes` is then the count returned); kind kNone when the
// body came whole. A `stop` that is stopped ends the download at once (while the proxy settings
// are read too), with no bytes and the client's kStopped, unless the body had already come whole;
// null: none. Memory for the body that cannot be had gives 0 and kNoMemory, never an exception.
// A `progress` counts the download as it goes, for another thread to show; null: none.
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits, urlclient::StopSignal* stop,
                           DownloadFailure& failure, DownloadProgress* progress = nullptr);

}  // namespace Module1
