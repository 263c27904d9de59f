#pragma once

// Reading the generated Japanese corpus: whole pages and snippets in every encoding, each with the
// text it must convert to.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/nkf/nkf.h"

namespace corpus {

struct Sample {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::u16string expected;  // line breaks as LF
    nkf::Encoding encoding;
};

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
// The encoding a corpus file suffix ("cp932", "utf-16le", ...) stands for.
std::optional<nkf::Encoding> EncodingOfSuffix(const std::string& suffix);
// The suffixes the corpus is made in.
std::vector<std::string> Suffixes();
std::vector<Sample> ReadPages(const std::filesystem::path& folder);
std::vector<Sample> ReadSnippets(const std::filesystem::path& folder, const std::string& suffix);

}  // namespace corpus
