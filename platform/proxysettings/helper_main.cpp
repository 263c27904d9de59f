// recv-html-proxy: asks libproxy, for each URL read from standard input (one a line), which proxies
// the desktop's settings name for it, and writes the answer. recv-html starts it and keeps it for
// the next question; it is a program of its own so that a PAC server that never answers, or a PAC
// file that runs for ever, can be left behind by killing it.
//
// For each URL it writes libproxy's own report of where its answer came from (libproxy tells that
// only on its debug channel: the configuration it found, whether a PAC file could be had), then
// the answer: one line that starts with the byte 0x02, the proxies separated by spaces
// ("http://host:port socks://host:port direct://"). It ends when standard input ends, and at once
// when recv-html goes away, even in the middle of a question.

#include <poll.h>
#include <proxy.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr const char* kProxyVariables[] = {
    "http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy",
    "HTTP_PROXY", "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY",
};

void WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) std::_Exit(EXIT_FAILURE);
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

int main() {
    // libproxy's debug lines go to standard error: into the same stream as the answers, in the
    // order they were written.
    if (dup2(STDOUT_FILENO, STDERR_FILENO) < 0) return EXIT_FAILURE;
    // recv-html has read the variables itself; libproxy answers for the desktop alone.
    for (const char* name : kProxyVariables) unsetenv(name);
    setenv("_PX_DEBUG", "1", 1);

    // A question can block inside libproxy for ever; recv-html closing its end must end this
    // program all the same. poll() with no events asked for still reports the hang-up.
    std::thread([] {
        pollfd watched{STDIN_FILENO, 0, 0};
        while (poll(&watched, 1, -1) < 0) {
        }
        std::_Exit(EXIT_SUCCESS);
    }).detach();

    // Made before the first question is read: the plugins load, and GNOME's settings start to be
    // read, while recv-html has not asked yet.
    pxProxyFactory* factory = px_proxy_factory_new();
    std::string url;
    while (std::getline(std::cin, url)) {
        std::string answer = "\x02";
        char** proxies =
            factory != nullptr ? px_proxy_factory_get_proxies(factory, url.c_str()) : nullptr;
        for (char** proxy = proxies; proxy != nullptr && *proxy != nullptr; ++proxy) {
            if (proxy != proxies) answer += ' ';
            answer += *proxy;
        }
        if (proxies != nullptr) px_proxy_factory_free_proxies(proxies);
        answer += '\n';
        std::cerr.flush();
        std::fflush(stderr);
        WriteAll(answer);
    }
    if (factory != nullptr) px_proxy_factory_free(factory);
    return EXIT_SUCCESS;
}
