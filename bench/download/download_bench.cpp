// DownloadBytes against a loopback server, and the curl command fetching the same URL in the same
// run, so the ratio of the two is measured on the same machine at the same moment.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "download/module1.h"
#include "tests/support/delay_relay.h"
#include "tests/support/loopback_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/tls_server.h"

extern char** environ;

namespace {

using recvhtml::test::LoopbackServer;
using recvhtml::test::PatternBytes;
using recvhtml::test::Reply;
using Seconds = std::chrono::duration<double>;

const urlclient::GlobalInit g_curl;
// For DownloadBytes and for the curl command, which inherits the environment.
const NoProxySettings g_noProxyVariables;

LoopbackServer& Server() {
    static LoopbackServer server;
    return server;
}

std::string UrlFor(std::size_t size) {
    static std::vector<std::size_t> served;
    std::string path = "/page" + std::to_string(size);
    if (std::find(served.begin(), served.end(), size) == served.end()) {
        Server().Serve(path, Reply::Ok(PatternBytes(size)));
        served.push_back(size);
    }
    return Server().Url(path);
}

// A 64 MiB page of text lines, sent gzip-compressed (about 8 MiB on the wire).
std::string CompressedUrl() {
    static const std::string url = [] {
        std::string text;
        text.reserve(std::size_t{64} << 20);
        for (int line = 0; text.size() < (std::size_t{64} << 20); ++line)
            text +=
                "<p>line " + std::to_string(line) + ": 日本語のページを受信して表示します</p>\n";
        text.resize(std::size_t{64} << 20);
        Reply reply = Reply::Ok(std::move(text));
        reply.gzip = true;
        Server().Serve("/compressed", std::move(reply));
        return Server().Url("/compressed");
    }();
    return url;
}

// Runs `curl -s -o /dev/null url` (with --compressed when `compressed`: asking for a compressed
// body and decoding it) and returns whether it succeeded.
bool RunCurlCommand(const std::string& url, bool compressed = false) {
    const char* argv[] = {"curl",      "-s",        "-o",
                          "/dev/null", url.c_str(), compressed ? "--compressed" : nullptr,
                          nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_DownloadBytes(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const QString url = QString::fromStdString(UrlFor(size));
    for (auto _ : state) {
        std::vector<std::uint8_t> body;
        if (Module1::DownloadBytes(url, body, QString()) != static_cast<std::int32_t>(size))
            state.SkipWithError("short body");
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_DownloadBytes)
    ->Arg(4096)
    ->Arg(1 << 20)
    ->Arg(10 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond);

// One iteration: `fetch` (into memory) and the curl command (into /dev/null) of the same 64 MiB
// URL from the same server. The time shown is the fetch's, up to the body in hand (its release is
// not timed); the counters give the curl command's time, process start and exit included, and the
// ratio of the sums. One untimed pair warms both first. The order alternates (fetch first, then
// curl first), so each side follows the other as often as itself: a fetch right after the curl
// command runs measurably slower than one right after another fetch, and the curl command shows no
// such effect.
template <typename Fetch>
void VersusCurlCommand(benchmark::State& state, const char* name, Fetch fetch,
                       bool compressed = false) {
    using Clock = std::chrono::steady_clock;
    const std::size_t size = 64 << 20;
    const std::string url = compressed ? CompressedUrl() : UrlFor(size);
    if (fetch(url).size() != size || !RunCurlCommand(url, compressed)) {
        state.SkipWithError("warm-up failed");
        return;
    }
    Seconds ours{0}, theirs{0};
    bool fetch_first = true;
    for (auto _ : state) {
        Seconds fetch_time{0};
        auto time_fetch = [&] {
            auto t0 = Clock::now();
            auto body = fetch(url);
            fetch_time = Clock::now() - t0;
            if (body.size() != size) state.SkipWithError("short body");
        };
        auto time_curl = [&] {
            auto t0 = Clock::now();
            if (!RunCurlCommand(url, compressed)) state.SkipWithError("curl command failed");
            theirs += Clock::now() - t0;
        };
        if (fetch_first) {
            time_fetch();
            time_curl();
        } else {
            time_curl();
            time_fetch();
        }
        fetch_first = !fetch_first;
        ours += fetch_time;
        state.SetIterationTime(fetch_time.count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    const double n = static_cast<double>(state.iterations());
    state.counters[std::string(name) + "_ms"] = ours.count() * 1000 / n;
    state.counters["curl_cmd_ms"] = theirs.count() * 1000 / n;
    state.counters["ratio"] = ours.count() / theirs.count();
}

void BM_DownloadBytesVersusCurlCommand(benchmark::State& state) {
    VersusCurlCommand(state, "download", [](const std::string& url) {
        std::vector<std::uint8_t> body;
        Module1::DownloadBytes(QString::fromStdString(url), body, QString());
        return body;
    });
}
BENCHMARK(BM_DownloadBytesVersusCurlCommand)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// The same for a gzip-compressed page, decoded on both sides.
void BM_CompressedDownloadVersusCurlCommand(benchmark::State& state) {
    VersusCurlCommand(
        state, "download",
        [](const std::string& url) {
            std::vector<std::uint8_t> body;
            Module1::DownloadBytes(QString::fromStdString(url), body, QString());
            return body;
        },
        true);
}
BENCHMARK(BM_CompressedDownloadVersusCurlCommand)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// The same, counting the transfer for a progress display as the window's fetch does: the
// counters must cost nothing that shows.
void BM_CountedDownloadVersusCurlCommand(benchmark::State& state) {
    VersusCurlCommand(state, "download", [](const std::string& url) {
        std::vector<std::uint8_t> body;
        Module1::DownloadProgress progress;
        Module1::DownloadFailure failure;
        Module1::DownloadBytes(QString::fromStdString(url), body, QString(), urlclient::Limits{},
                               nullptr, failure, &progress);
        return body;
    });
}
BENCHMARK(BM_CountedDownloadVersusCurlCommand)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// The floor under DownloadBytes: libcurl alone, one copy of each piece into a fresh array of the
// body's size, on huge pages as DownloadBytes asks for, with no 4096-byte reads in between. What
// this costs beyond the curl command is what keeping 64 MiB in fresh memory costs.
struct FreshArray {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t used = 0;
    std::size_t capacity = 0;
    std::size_t size() const { return used; }
};

std::size_t AppendToArray(char* data, std::size_t size, std::size_t count, void* user) {
    auto& array = *static_cast<FreshArray*>(user);
    const std::size_t n = size * count;
    if (n > array.capacity - array.used) return 0;
    std::memcpy(array.bytes.get() + array.used, data, n);
    array.used += n;
    return n;
}

FreshArray LibcurlIntoFreshArray(const std::string& url, std::size_t capacity) {
    FreshArray array{std::make_unique_for_overwrite<std::uint8_t[]>(capacity), 0, capacity};
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto begin =
        (reinterpret_cast<std::uintptr_t>(array.bytes.get()) + kHuge - 1) & ~(kHuge - 1);
    const auto end =
        (reinterpret_cast<std::uintptr_t>(array.bytes.get()) + capacity) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    CURL* easy = curl_easy_init();
    if (!easy) return {};
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 128L * 1024);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &AppendToArray);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &array);
    const CURLcode result = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    if (result != CURLE_OK) array.used = 0;
    return array;
}

void BM_LibcurlIntoFreshArrayVersusCurlCommand(benchmark::State& state) {
    VersusCurlCommand(state, "libcurl", [](const std::string& url) {
        return LibcurlIntoFreshArray(url, std::size_t{64} << 20);
    });
}
BENCHMARK(BM_LibcurlIntoFreshArrayVersusCurlCommand)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// The same array for every download: its pages are already in place, so the difference from
// BM_DownloadBytes/67108864 is what fresh memory costs.
void BM_DownloadBytesReusedArray(benchmark::State& state) {
    const std::size_t size = 64 << 20;
    const QString url = QString::fromStdString(UrlFor(size));
    std::vector<std::uint8_t> body;
    for (auto _ : state) {
        if (Module1::DownloadBytes(url, body, QString()) != static_cast<std::int32_t>(size))
            state.SkipWithError("short body");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_DownloadBytesReusedArray)->Unit(benchmark::kMillisecond);

// One Go's worth of the URL client, as DownloadBytes does it (a session of its own, the page read
// to its end), of an https page whose authority `ca_file` names; its time, or a negative value
// when the page did not come whole.
double GoInNewSession(const std::string& url, const std::string& ca_file) {
    const auto started = std::chrono::steady_clock::now();
    urlclient::SessionOptions options;
    options.agent = "RECV_HTML";
    options.ca_file = ca_file;
    auto session = urlclient::OpenSession(options);
    if (!session) return -1;
    auto handle = urlclient::OpenUrl(*session, url, urlclient::kReload);
    if (!handle) return -1;
    std::vector<std::uint8_t> buf(4096);
    for (;;) {
        const urlclient::ReadResult read = urlclient::Read(*handle, buf);
        if (read.status != urlclient::ReadStatus::kOk) return -1;
        if (read.bytes == 0) break;
    }
    return Seconds(std::chrono::steady_clock::now() - started).count() * 1000;
}

// `curl -s URL URL` with the authority named: two fetches in one command, the second on the
// first's connection; the time of each.
std::vector<double> CurlTwice(const std::string& url, const std::string& ca_file) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t act;
    posix_spawn_file_actions_init(&act);
    posix_spawn_file_actions_adddup2(&act, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&act, fds[0]);
    const char* argv[] = {
        "curl",      "-s", "--cacert",        ca_file.c_str(), "-o",        "/dev/null", "-o",
        "/dev/null", "-w", "%{time_total}\n", url.c_str(),     url.c_str(), nullptr};
    pid_t pid;
    const int spawned =
        posix_spawnp(&pid, "curl", &act, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&act);
    close(fds[1]);
    std::string out;
    char chunk[256];
    for (ssize_t n; spawned == 0 && (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<std::size_t>(n));
    close(fds[0]);
    if (spawned != 0) return {};
    int status = 0;
    waitpid(pid, &status, 0);
    std::vector<double> times;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        times.push_back(std::atof(out.substr(at, end - at).c_str()) * 1000);
        at = end == std::string::npos ? out.size() : end + 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || times.size() != 2) return {};
    return times;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Two Go presses to the same small https page, over a line with the round trip given in
// milliseconds (a relay that holds each connection one round trip and each piece half of one each
// way): the second takes up the first's connection (no connection set up, no TLS handshake), as
// `curl URL URL` does, the peer. Each round starts with no connection kept; medians of the rounds.
void BM_SecondGoOverASlowLine(benchmark::State& state) {
    recvhtml::test::CertificateAuthority ca;
    recvhtml::test::TlsServer server(ca, "IP:127.0.0.1");
    server.KeepConnections(PatternBytes(8 * 1024));
    recvhtml::test::DelayRelay line(server.Port(), std::chrono::milliseconds(state.range(0)));
    const std::string url = "https://127.0.0.1:" + std::to_string(line.Port()) + "/";
    std::vector<double> first, second, curl_first, curl_second;
    for (auto _ : state) {
        urlclient::CloseKeptConnections();
        first.push_back(GoInNewSession(url, ca.PemFile()));
        second.push_back(GoInNewSession(url, ca.PemFile()));
        const std::vector<double> curl = CurlTwice(url, ca.PemFile());
        if (first.back() < 0 || second.back() < 0 || curl.empty()) {
            state.SkipWithError("a fetch failed");
            return;
        }
        curl_first.push_back(curl[0]);
        curl_second.push_back(curl[1]);
        state.SetIterationTime((first.back() + second.back()) / 1000);
    }
    state.counters["first_ms"] = Median(first);
    state.counters["second_ms"] = Median(second);
    state.counters["second_per_first"] = Median(second) / Median(first);
    state.counters["curl_first_ms"] = Median(curl_first);
    state.counters["curl_second_ms"] = Median(curl_second);
    state.counters["curl_second_per_first"] = Median(curl_second) / Median(curl_first);
}
BENCHMARK(BM_SecondGoOverASlowLine)
    ->Arg(20)
    ->Arg(80)
    ->Arg(200)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
