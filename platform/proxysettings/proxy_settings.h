#pragma once

// The system's proxy settings, as a Linux desktop keeps them: the usual proxy variables, and the
// desktop's own settings (GNOME's, KDE's, a PAC file, WPAD), which libproxy reads. This folder only
// says what they name for a URL; the download decides in which order to ask and uses the answer.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace proxysettings {

// One way to the server, as libcurl takes it.
struct Entry {
    // "http://host:port", "socks5h://host:port", ... (a variable's value as it is written, user
    // name and password included); empty: straight to the server.
    std::string url;
    // A user name and password given apart from `url` (the desktop's settings); empty: none.
    std::string user;
    std::string password;

    bool operator==(const Entry&) const = default;
};

// Where an answer came from.
enum class Source {
    kNone,      // nothing names a proxy for the URL: straight to the server
    kVariable,  // a proxy variable: `variable`
    kDesktop,   // the desktop's proxy settings, set by hand
    kPacFile,   // the PAC file at `pac_url`, which the desktop's settings name
    kWpad,      // a PAC file that the desktop's settings let the network name (WPAD)
};

struct Answer {
    Source source = Source::kNone;
    std::string variable;  // kVariable: the variable's name ("https_proxy", "ALL_PROXY", ...)
    // kPacFile: the PAC file's URL. Also set, with source kNone, when the settings name a PAC file
    // that could not be had: the answer is then to go straight to the server, as browsers do.
    std::string pac_url;
    bool pac_unreadable = false;
    // The ways to try, in order; never empty. An entry with an empty url goes straight to the
    // server.
    std::vector<Entry> entries{Entry{}};
    // The question was given up on because `stopped` said so; `entries` then go straight.
    bool stopped = false;
};

// The proxy variables' answer for a URL of `scheme` (lower case) whose host is `host`, by the
// rules libcurl applies to them: the scheme's own variable (http_proxy for http, in lower case
// only: a CGI program gets HTTP_PROXY from a request's Proxy header; https_proxy or HTTPS_PROXY;
// ftp_proxy or FTP_PROXY), else all_proxy or ALL_PROXY; no_proxy (or NO_PROXY) lists the names
// (each with its subdomains), addresses and address ranges ("10.0.0.0/8") reached directly, "*"
// every host. Nothing when no variable is set for the scheme: the desktop's settings then decide.
std::optional<Answer> FromVariables(std::string_view scheme, std::string_view host);

// The desktop's answer for `url` (ASCII, as it is sent), through libproxy, with the proxy
// variables out of its sight. libproxy runs in a small program of its own (recv-html-proxy), kept
// for the next question, so that a PAC server that never answers, or a PAC file that never ends,
// holds up nothing but that program: it is given up on once `time_limit` has passed (the PAC file
// counts as unreadable) or `stopped` returns true (checked every few milliseconds; the answer is
// then `stopped`). Where that program cannot be started or fails, the answer is kNone. Safe to
// call from any thread, and from several at once.
Answer FromDesktop(std::string_view url, std::chrono::milliseconds time_limit,
                   const std::function<bool()>& stopped);

// Starts recv-html-proxy for the first question, if none waits, and returns at once: its own
// start (libproxy's plugins, the reader of GNOME's settings) then happens while the program does
// other things, rather than in the first download. Safe to call from any thread.
void StartHelper();

// Where recv-html-proxy is. By default it is looked for beside the running program, then in
// ../libexec/recv-html/ from there; tests name the one they built.
void UseHelperAt(std::string path);

}  // namespace proxysettings
