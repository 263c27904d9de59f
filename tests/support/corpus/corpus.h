#pragma once

// The generated Japanese corpus (make_corpus.py, run at build time): whole pages and snippets in
// every encoding the converter reads, each with the text it must convert to, and pages of about
// 10 MB for the benchmarks. Encodings go by the corpus's own names ("cp932", "utf-16le", ...), so
// that these helpers use no part of the program.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace corpus {

struct Sample {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::u16string expected;  // line breaks as LF
    std::string suffix;       // the encoding's name in the corpus
};

// The whole file at `path`; empty when it cannot be read.
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
// The encodings the corpus is made in, by name.
std::vector<std::string> Suffixes();
// Every page, in every encoding.
std::vector<Sample> ReadPages();
// The 100 snippets in the encoding `suffix`.
std::vector<Sample> ReadSnippets(const std::string& suffix);
// The benchmark page in the encoding `suffix` ("cp932", "euc-jp", "iso-2022-jp" or "utf-8"). The
// benchmark that reads it depends on the target recvhtml_bench_pages, which makes it.
std::filesystem::path BenchPagePath(const std::string& suffix);

}  // namespace corpus
