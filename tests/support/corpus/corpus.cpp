#include "tests/support/corpus/corpus.h"

#include <QString>
#include <fstream>
#include <iterator>

namespace corpus {
namespace {

const std::filesystem::path kCorpus = RECVHTML_CORPUS_DIR;
const std::filesystem::path kBenchPages = RECVHTML_BENCH_PAGES;

std::u16string FromUtf8(const std::vector<std::uint8_t>& bytes) {
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()),
                             static_cast<qsizetype>(bytes.size()))
        .toStdU16String();
}

std::uint32_t ReadLength(const std::vector<std::uint8_t>& bytes, std::size_t pos) {
    return static_cast<std::uint32_t>(bytes[pos] | bytes[pos + 1] << 8 | bytes[pos + 2] << 16 |
                                      bytes[pos + 3] << 24);
}

}  // namespace

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> Suffixes() {
    return {"cp932", "euc-jp", "iso-2022-jp", "utf-8", "utf-8-bom", "utf-16le", "utf-16be"};
}

std::vector<Sample> ReadPages() {
    std::vector<Sample> pages;
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus / "pages")) {
        if (entry.path().extension() == ".expected") continue;
        pages.push_back({entry.path().filename().string(), ReadFile(entry.path()),
                         FromUtf8(ReadFile(entry.path().string() + ".expected")),
                         entry.path().extension().string().substr(1)});
    }
    return pages;
}

std::vector<Sample> ReadSnippets(const std::string& suffix) {
    const std::vector<std::uint8_t> records = ReadFile(kCorpus / ("snippets." + suffix));
    std::vector<Sample> snippets;
    std::size_t pos = 0;
    while (pos + 4 <= records.size()) {
        Sample sample;
        sample.suffix = suffix;
        sample.name = suffix + " #" + std::to_string(snippets.size());
        const std::uint32_t length = ReadLength(records, pos);
        sample.bytes.assign(records.begin() + pos + 4, records.begin() + pos + 4 + length);
        pos += 4 + length;
        const std::uint32_t expectedLength = ReadLength(records, pos);
        sample.expected = FromUtf8(std::vector<std::uint8_t>(
            records.begin() + pos + 4, records.begin() + pos + 4 + expectedLength));
        pos += 4 + expectedLength;
        snippets.push_back(std::move(sample));
    }
    return snippets;
}

std::filesystem::path BenchPagePath(const std::string& suffix) {
    return kBenchPages / ("bench." + suffix);
}

}  // namespace corpus
