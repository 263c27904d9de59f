#include <gtest/gtest.h>

#include <iostream>
#include <optional>

#include "platform/codepage/codepage.h"
#include "platform/nkf/nkf.h"
#include "tests/support/corpus/corpus.h"

namespace {

// The encoding a corpus name ("cp932", "utf-16le", ...) stands for.
std::optional<nkf::Encoding> EncodingOfSuffix(const std::string& suffix) {
    if (suffix == "cp932") return nkf::Encoding::kShiftJis;
    if (suffix == "euc-jp") return nkf::Encoding::kEucJp;
    if (suffix == "iso-2022-jp") return nkf::Encoding::kIso2022Jp;
    if (suffix == "utf-8" || suffix == "utf-8-bom") return nkf::Encoding::kUtf8;
    if (suffix == "utf-16le") return nkf::Encoding::kUtf16Le;
    if (suffix == "utf-16be") return nkf::Encoding::kUtf16Be;
    return std::nullopt;
}

// The text the converter makes of `bytes`, read back through the code page, and its encoding.
struct Conversion {
    std::u16string text;
    nkf::Encoding from;
    bool complete;
};

Conversion Convert(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> output(bytes.size() * 4 + 1);
    EXPECT_TRUE(nkf::SetNkfOption("s"));
    const nkf::ConvertResult result = nkf::NkfConvert(output, bytes);
    output.resize(result.written);
    return {codepage::DecodeAll(output), result.from, result.complete};
}

TEST(NkfCorpus, EveryPageIsRecognisedAndConverted) {
    const std::vector<corpus::Sample> pages = corpus::ReadPages();
    ASSERT_GE(pages.size(), 100u);
    for (const corpus::Sample& page : pages) {
        const Conversion conversion = Convert(page.bytes);
        EXPECT_EQ(conversion.from, EncodingOfSuffix(page.suffix)) << page.name;
        EXPECT_TRUE(conversion.complete) << page.name;
        EXPECT_TRUE(conversion.text == page.expected) << page.name;
    }
}

class NkfSnippets : public testing::TestWithParam<std::string> {};

// Short text gives the detectors little to go on; at most one snippet in a hundred may go wrong.
TEST_P(NkfSnippets, AtLeast99In100AreRight) {
    const std::vector<corpus::Sample> snippets = corpus::ReadSnippets(GetParam());
    ASSERT_EQ(snippets.size(), 100u);
    int right = 0;
    for (const corpus::Sample& snippet : snippets) {
        const Conversion conversion = Convert(snippet.bytes);
        if (conversion.text == snippet.expected) {
            ++right;
        } else {
            std::cout << snippet.name << " read as " << static_cast<int>(conversion.from) << " ("
                      << snippet.bytes.size() << " bytes)\n";
        }
    }
    std::cout << GetParam() << ": " << right << " of " << snippets.size() << " snippets right\n";
    EXPECT_GE(right, 99);
}

INSTANTIATE_TEST_SUITE_P(Encodings, NkfSnippets, testing::ValuesIn(corpus::Suffixes()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

}  // namespace
