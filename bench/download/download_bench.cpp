// DownloadBytes against a loopback server, and the curl command fetching the same URL in the same
// run, so the ratio of the two is measured on the same machine at the same moment.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "download/module1.h"
#include "tests/support/loopback_server.h"

extern char** environ;

namespace {

using recvhtml::test::LoopbackServer;
using recvhtml::test::PatternBytes;
using recvhtml::test::Reply;
using Seconds = std::chrono::duration<double>;

const urlclient::GlobalInit g_curl;

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

// Runs `curl -s -o /dev/null url` and returns whether it succeeded.
bool RunCurlCommand(const std::string& url) {
    const char* argv[] = {"curl", "-s", "-o", "/dev/null", url.c_str(), nullptr};
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

// One iteration: DownloadBytes, then the curl command, of the same 64 MiB URL. The time shown is
// DownloadBytes'; the counters give the curl command's time and the ratio of the sums.
void BM_DownloadBytesVersusCurlCommand(benchmark::State& state) {
    const std::size_t size = 64 << 20;
    const std::string url = UrlFor(size);
    const QString qurl = QString::fromStdString(url);
    Seconds ours{0}, theirs{0};
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::uint8_t> body;
        if (Module1::DownloadBytes(qurl, body, QString()) != static_cast<std::int32_t>(size))
            state.SkipWithError("short body");
        auto t1 = std::chrono::steady_clock::now();
        body = {};
        auto t2 = std::chrono::steady_clock::now();
        if (!RunCurlCommand(url)) state.SkipWithError("curl command failed");
        auto t3 = std::chrono::steady_clock::now();
        ours += t1 - t0;
        theirs += t3 - t2;
        state.SetIterationTime(Seconds(t1 - t0).count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    const double n = static_cast<double>(state.iterations());
    state.counters["download_ms"] = ours.count() * 1000 / n;
    state.counters["curl_cmd_ms"] = theirs.count() * 1000 / n;
    state.counters["ratio"] = ours.count() / theirs.count();
}
BENCHMARK(BM_DownloadBytesVersusCurlCommand)
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

}  // namespace

BENCHMARK_MAIN();
