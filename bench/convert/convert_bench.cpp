// ConvertBody on 10 MB pages in each encoding it recognises, beside the shell pipeline that does
// the same two conversions told the encoding:
//   iconv -f <encoding> -t CP932 | iconv -f CP932 -t UTF-16LE
// and, afterwards, the peak memory of one ConvertBody call, each measured in a fresh process.
//
//   convert_bench                 both throughputs, then the peak memory table
//   convert_bench --peak FILE     one ConvertBody call on FILE; prints the peak memory

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/corpus/corpus.h"
#include "tests/support/memory_usage.h"
#include "window/big_blocks.h"
#include "window/text/convert_body.h"

namespace {

struct Page {
    const char* suffix;
    const char* iconvName;
};

constexpr Page kPages[] = {{"cp932", "CP932"},
                           {"euc-jp", "EUC-JP-MS"},
                           {"iso-2022-jp", "ISO-2022-JP"},
                           {"utf-8", "UTF-8"}};

std::string PagePath(const Page& page) {
    return corpus::BenchPagePath(page.suffix).string();
}

// Shown as "MB=<megabytes per second>/s" beside Google Benchmark's own MiB/s.
void SetMegabytesPerSecond(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["MB"] = benchmark::Counter(static_cast<double>(state.iterations() * bytes) / 1e6,
                                              benchmark::Counter::kIsRate);
}

void BM_ConvertBody(benchmark::State& state, const Page& page) {
    const std::vector<std::uint8_t> body = corpus::ReadFile(PagePath(page));
    if (body.empty()) {
        state.SkipWithError("benchmark page missing");
        return;
    }
    for (auto _ : state) {
        QString strText = ConvertBody(body);
        benchmark::DoNotOptimize(strText);
    }
    SetMegabytesPerSecond(state, body.size());
}

void BM_IconvPipeline(benchmark::State& state, const Page& page) {
    const std::string path = PagePath(page);
    const std::size_t size = corpus::ReadFile(path).size();
    const std::string command = std::string("iconv -f ") + page.iconvName + " -t CP932 '" + path +
                                "' | iconv -f CP932 -t UTF-16LE > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("iconv pipeline failed");
            return;
        }
    }
    SetMegabytesPerSecond(state, size);
}

// Peak resident memory that one ConvertBody call adds on top of the loaded body, the result text
// included. The kernel's peak counter is reset once the body is in memory.
int MeasurePeak(const char* path) {
    const std::vector<std::uint8_t> body = corpus::ReadFile(path);
    if (body.empty()) return 1;
    const double baseline = static_cast<double>(recvhtml::test::CurrentRssBytes());
    recvhtml::test::ResetPeakRss();
    const QString strText = ConvertBody(body);
    const double added = static_cast<double>(recvhtml::test::PeakRssBytes()) - baseline;
    std::printf("%-14s body %6.2f MB  text %8lld chars  peak added %7.2f MB = %.2f x body\n",
                path + std::string(path).rfind('/') + 1, body.size() / 1e6,
                static_cast<long long>(strText.size()), added / 1e6, added / body.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ReturnBigBlocksToTheSystem();
    if (argc == 3 && std::string(argv[1]) == "--peak") return MeasurePeak(argv[2]);

    for (const Page& page : kPages) {
        benchmark::RegisterBenchmark((std::string("ConvertBody/") + page.suffix).c_str(),
                                     BM_ConvertBody, page)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);
        benchmark::RegisterBenchmark((std::string("IconvPipeline/") + page.suffix).c_str(),
                                     BM_IconvPipeline, page)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nPeak memory of one ConvertBody call, each in a fresh process:\n");
    std::fflush(stdout);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    for (const Page& page : kPages) {
        const std::string command = "'" + self + "' --peak '" + PagePath(page) + "'";
        if (std::system(command.c_str()) != 0) std::printf("%s: not measured\n", page.suffix);
    }
    return 0;
}
