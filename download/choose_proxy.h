#pragma once

// The one decision, for each request of a download, of the ways it goes to its server. Internal to
// the download.

#include <chrono>
#include <string>
#include <vector>

#include "download/module1.h"

namespace Module1 {

struct ProxyChoice {
    ProxyOrigin origin;
    std::vector<urlclient::Proxy> ways;  // in the order to try; never empty
};

// The system's answer for `url` (as the URL client sends it): the proxy variables when one is set
// for its scheme (no_proxy then sends it straight to the server), else the desktop's settings,
// else straight to the server. Asking the desktop is given up on after `time_limit` (a PAC file
// that does not come then counts as unreadable), or at once when `stop` is stopped.
ProxyChoice ChooseProxy(const std::string& url, std::chrono::milliseconds time_limit,
                        const urlclient::StopSignal* stop);

}  // namespace Module1
