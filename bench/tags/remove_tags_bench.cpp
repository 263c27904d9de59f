// Tag removal speed: RemoveTags against the same rules driven plainly by RE2, by std::regex and by
// Python's re, on a generated Japanese page; then RemoveTags on hostile input of 1, 10 and 100 MB.
// The peers decode entities by plain replacement in table order, which would decode "&amp;lt;"
// twice; the generated pages hold no such text, so every peer gives the same text.
//
//   build/default/bench/tags/remove_tags_bench
//
// std::regex runs in a child process, because its recursive matcher can overflow the stack on a
// long element; a crash is reported as such. Python runs as a child too, timing itself.

// GCC 12 sees a false "maybe uninitialized" inside std::regex's compiler when building with
// AddressSanitizer (GCC bug 105562); std::regex is only the peer measured here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <benchmark/benchmark.h>
#include <re2/re2.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "bench/tags/pages.h"
#include "window/big_blocks.h"
#include "window/text/remove_tags.h"

namespace {

constexpr std::size_t kMB = 1000 * 1000;
// A JSON data script of this size sits in the page's head, as on many news and shop pages.
constexpr std::size_t kDataScript = 200 * 1000;

const std::string& Page(std::size_t size, bool withData) {
    static std::map<std::pair<std::size_t, bool>, std::string> pages;
    auto& page = pages[{size, withData}];
    if (page.empty()) page = MakeRealisticPage(size, withData ? kDataScript : 0);
    return page;
}

std::string ReplaceAllPlain(const std::string& text, const std::string& from,
                            const std::string& to) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (std::size_t found; (found = text.find(from, pos)) != std::string::npos;) {
        out.append(text, pos, found - pos);
        out += to;
        pos = found + from.size();
    }
    out.append(text, pos);
    return out;
}

const char* const kPatterns[] = {"< *script.*?</script *?>", "<!--.*?-->", "< *style.+?</style *>",
                                 "< *br(?:[ \t/][^>]*)?>", "<.+?>"};
const char* const kReplacements[] = {"", "", "", "\r\n", ""};
const std::pair<const char*, const char*> kEntities[] = {{"&quot;", "\""}, {"&quot", "\""},
                                                         {"&amp;", "&"},   {"&gt;", ">"},
                                                         {"&lt;", "<"},    {"&nbsp;", " "}};

std::string DropLineBreaks(const std::string& text) {
    return ReplaceAllPlain(ReplaceAllPlain(ReplaceAllPlain(text, "\r\n", ""), "\n", ""), "\r", "");
}

std::string DecodeEntitiesPlain(std::string text) {
    for (const auto& [from, to] : kEntities) text = ReplaceAllPlain(text, from, to);
    return text;
}

// The rules written the obvious way: one RE2::GlobalReplace each.
std::string RemoveTagsRe2Plain(const std::string& page) {
    static const std::vector<std::unique_ptr<RE2>> rules = [] {
        std::vector<std::unique_ptr<RE2>> compiled;
        RE2::Options options;
        options.set_case_sensitive(false);
        for (const char* pattern : kPatterns)
            compiled.push_back(std::make_unique<RE2>(pattern, options));
        return compiled;
    }();
    std::string text = DropLineBreaks(page);
    for (std::size_t i = 0; i < rules.size(); ++i)
        RE2::GlobalReplace(&text, *rules[i], kReplacements[i]);
    return DecodeEntitiesPlain(std::move(text));
}

// The rules written the obvious way with std::regex.
std::string RemoveTagsStdRegex(const std::string& page) {
    std::string text = DropLineBreaks(page);
    for (std::size_t i = 0; i < std::size(kPatterns); ++i) {
        text =
            std::regex_replace(text, std::regex(kPatterns[i], std::regex::icase), kReplacements[i]);
    }
    return DecodeEntitiesPlain(std::move(text));
}

void BM_RemoveTags(benchmark::State& state, bool withData) {
    const std::string& page = Page(static_cast<std::size_t>(state.range(0)), withData);
    const QString strHtml = QString::fromUtf8(page.data(), static_cast<qsizetype>(page.size()));
    for (auto _ : state) benchmark::DoNotOptimize(RemoveTags(strHtml));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

void BM_Re2GlobalReplace(benchmark::State& state, bool withData) {
    const std::string& page = Page(static_cast<std::size_t>(state.range(0)), withData);
    for (auto _ : state) benchmark::DoNotOptimize(RemoveTagsRe2Plain(page));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

// CPU time of this process: the machine is shared, and wall time would count the others' work.
double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs std::regex on `page` in a child process. Returns the seconds it took, or why it failed.
std::pair<double, std::string> TimeStdRegexInChild(const std::string& page) {
    int fds[2];
    if (pipe(fds) != 0) return {0, "pipe failed"};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(300);
        const double start = ProcessSeconds();
        benchmark::DoNotOptimize(RemoveTagsStdRegex(page));
        const double seconds = ProcessSeconds() - start;
        (void)!write(fds[1], &seconds, sizeof seconds);
        _exit(0);
    }
    close(fds[1]);
    double seconds = 0;
    const bool got = pid > 0 && read(fds[0], &seconds, sizeof seconds) == sizeof seconds;
    close(fds[0]);
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    if (got) return {seconds, ""};
    if (WIFSIGNALED(status))
        return {0, std::string("died of signal: ") + strsignal(WTERMSIG(status))};
    return {0, "child failed"};
}

void BM_StdRegex(benchmark::State& state, bool withData) {
    const std::string& page = Page(static_cast<std::size_t>(state.range(0)), withData);
    for (auto _ : state) {
        const auto [seconds, failure] = TimeStdRegexInChild(page);
        if (!failure.empty()) {
            static std::string message;
            message = "std::regex " + failure;
            state.SkipWithError(message.c_str());
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

// Runs the Python script on the page, which reports its best time of three.
void BM_PythonRe(benchmark::State& state, bool withData) {
    const std::string& page = Page(static_cast<std::size_t>(state.range(0)), withData);
    const std::string path = "/tmp/recvhtml_tags_page_" + std::to_string(getpid()) + ".html";
    std::ofstream(path, std::ios::binary)
        .write(page.data(), static_cast<std::streamsize>(page.size()));
    const std::string command =
        std::string("python3 ") + RECVHTML_TAGS_PEER_SCRIPT + " " + path + " 3";
    for (auto _ : state) {
        FILE* child = popen(command.c_str(), "r");
        double seconds = 0;
        unsigned long long bytes = 0;
        const int fields = child != nullptr ? std::fscanf(child, "%lf %llu", &seconds, &bytes) : 0;
        if (child != nullptr) pclose(child);
        if (fields != 2) {
            state.SkipWithError("python3 gave no time");
            break;
        }
        state.SetIterationTime(seconds);
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

void BM_RemoveTagsHostile(benchmark::State& state, HostileKind kind) {
    const std::string page = MakeHostilePage(kind, static_cast<std::size_t>(state.range(0)));
    const QString strHtml = QString::fromUtf8(page.data(), static_cast<qsizetype>(page.size()));
    for (auto _ : state) benchmark::DoNotOptimize(RemoveTags(strHtml));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

// Prints the usual table, then the figures side by side.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            Figure& figure = figures_[run.benchmark_name()];
            figure.error = run.error_occurred ? run.error_message : "";
            const auto rate = run.counters.find("bytes_per_second");
            figure.mbPerSecond = rate == run.counters.end() ? 0 : rate->second.value / kMB;
            // A child's own CPU time stands as the manual time; otherwise this process's CPU time.
            const bool manual = run.run_name.time_type == "manual_time";
            figure.seconds = (manual ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) /
                             benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nSummary, CPU time per run (MB = 10^6 bytes of UTF-8 page)\n");
        for (const auto& [name, figure] : figures_) {
            if (!figure.error.empty()) {
                std::printf("  %-60s  %s\n", name.c_str(), figure.error.c_str());
            } else {
                std::printf("  %-60s %9.1f MB/s %10.2f ms\n", name.c_str(), figure.mbPerSecond,
                            figure.seconds * 1e3);
            }
        }
        // Linear work still costs a little more than ten times: 1 MB of input and its buffers fit
        // in a core's cache and 10 MB do not, and buffers of 100 MB are returned to the system
        // after each run and fault in afresh (run with GLIBC_TUNABLES=glibc.malloc.mmap_threshold=
        // 4294967295:glibc.malloc.trim_threshold=4294967295 to keep them).
        std::printf("\nHostile input, ratio of times for ten times the input:\n");
        for (const auto& [name, figure] : figures_) {
            const std::size_t slash = name.rfind('/');
            if (name.find("Hostile") == std::string::npos || slash == std::string::npos) continue;
            const std::string stem = name.substr(0, slash);
            const std::size_t size = std::stoull(name.substr(slash + 1));
            const auto other = figures_.find(stem + "/" + std::to_string(size * 10));
            if (other == figures_.end() || figure.seconds <= 0) continue;
            std::printf("  %-44s %4zu MB -> %4zu MB: %6.2fx\n", stem.c_str(), size / kMB,
                        size * 10 / kMB, other->second.seconds / figure.seconds);
        }
        std::fflush(stdout);
    }

private:
    struct Figure {
        double mbPerSecond = 0;
        double seconds = 0;
        std::string error;
    };
    std::map<std::string, Figure> figures_;
};

}  // namespace

// Finds the length of one script element at which std::regex's recursive matcher overflows the
// stack.
void ProbeStdRegexStack() {
    std::printf("std::regex on one \"<script>x...x</script>\" element:\n");
    for (std::size_t length = 1000; length <= 1000 * 1000; length *= 2) {
        const std::string page = "<p>a</p><script>" + std::string(length, 'x') + "</script>b";
        const auto [seconds, failure] = TimeStdRegexInChild(page);
        std::printf("  %8zu bytes of content: %s\n", length,
                    failure.empty() ? "survives" : failure.c_str());
        if (!failure.empty()) break;
    }
    std::fflush(stdout);
}

// The figures mean little unless both drives of RE2 give the same text.
void CheckAgreement() {
    for (const bool withData : {true, false}) {
        const std::string& page = Page(10 * kMB, withData);
        const QString strText =
            RemoveTags(QString::fromUtf8(page.data(), static_cast<qsizetype>(page.size())));
        const bool same = strText.toUtf8().toStdString() == RemoveTagsRe2Plain(page);
        std::printf(
            "RemoveTags and one RE2::GlobalReplace per rule agree on the 10 MB page%s: %s\n",
            withData ? " with data script" : "", same ? "yes" : "NO");
    }
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    ReturnBigBlocksToTheSystem();
    CheckAgreement();
    ProbeStdRegexStack();
    const std::int64_t sizes[] = {static_cast<std::int64_t>(kMB),
                                  static_cast<std::int64_t>(10 * kMB)};
    for (const bool withData : {true, false}) {
        const std::string page = withData ? "page_with_data_script" : "page";
        for (std::int64_t size : sizes) {
            benchmark::RegisterBenchmark(("RemoveTags/" + page).c_str(), BM_RemoveTags, withData)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Re2GlobalReplace/" + page).c_str(), BM_Re2GlobalReplace,
                                         withData)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("StdRegex/" + page).c_str(), BM_StdRegex, withData)
                ->Arg(size)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("PythonRe/" + page).c_str(), BM_PythonRe, withData)
                ->Arg(size)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (HostileKind kind : {HostileKind::kUnclosedScripts, HostileKind::kLessThanRun,
                             HostileKind::kUnclosedComments, HostileKind::kUnclosedTagLines}) {
        for (std::int64_t size : {sizes[0], sizes[1], 10 * sizes[1]}) {
            benchmark::RegisterBenchmark(
                (std::string("RemoveTagsHostile/") + HostileName(kind)).c_str(),
                BM_RemoveTagsHostile, kind)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
