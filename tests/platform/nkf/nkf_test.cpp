#include "platform/nkf/nkf.h"

#include <gtest/gtest.h>

#include <ostream>

#include <random>
#include <string>
#include <vector>

#include "platform/codepage/codepage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nkf::Encoding;

Bytes B(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kEucMeta = B("<meta charset=\"euc-jp\">");

// Converts `input` with "s" selected into a buffer of exactly `capacity` bytes on the heap, so the
// sanitizer build sees any write past its end; returns what precedes the terminator.
Bytes Convert(const Bytes& input, std::size_t capacity, nkf::ConvertResult* result = nullptr) {
    EXPECT_TRUE(nkf::SetNkfOption("s"));
    Bytes output(capacity, 0xEE);
    const nkf::ConvertResult converted = nkf::NkfConvert(output, input);
    if (result != nullptr) *result = converted;
    EXPECT_LT(converted.written, capacity);
    EXPECT_EQ(output[converted.written], 0);
    output.resize(converted.written);
    return output;
}

Bytes Convert(const Bytes& input) {
    nkf::ConvertResult result;
    Bytes output = Convert(input, input.size() * 4 + 1, &result);
    EXPECT_TRUE(result.complete);
    return output;
}

struct RecogniseCase {
    const char* name;
    friend void PrintTo(const RecogniseCase& c, std::ostream* os) { *os << c.name; }
    Bytes input;
    Encoding expected;
};

class Recognition : public testing::TestWithParam<RecogniseCase> {};

TEST_P(Recognition, ReadsTheBytesInOrder) {
    EXPECT_EQ(nkf::RecogniseEncoding(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Order, Recognition,
    testing::Values(
        // A byte-order mark wins over whatever the rest looks like.
        RecogniseCase{"Utf8MarkOverEucJp", Bytes{0xEF, 0xBB, 0xBF, 0xC6, 0xFC, 0xCB, 0xDC},
                      Encoding::kUtf8},
        RecogniseCase{"Utf16LeMarkOverShiftJis", Bytes{0xFF, 0xFE, 0x93, 0xFA, 0x96, 0x7B},
                      Encoding::kUtf16Le},
        RecogniseCase{"Utf16BeMarkOverIso2022Jp", Bytes{0xFE, 0xFF} + B("\x1b$B$\"\x1b(B"),
                      Encoding::kUtf16Be},
        RecogniseCase{"Utf16MarkLooksPastZeroBytes", Bytes{0xFF, 0xFE, 'A', 0, 'B', 0},
                      Encoding::kUtf16Le},
        RecogniseCase{"Iso2022JpByItsEscapes", B("a\x1b$B$\"\x1b(Bb"), Encoding::kIso2022Jp},
        RecogniseCase{"Iso2022JpKatakanaOnly", B("\x1b(I1\x1b(B"), Encoding::kIso2022Jp},
        RecogniseCase{"EscapesWithAHighByteAreNotIso2022Jp",
                      B("\x1b$B$\"\x1b(B") + Bytes{0x82, 0xA0}, Encoding::kShiftJis},
        RecogniseCase{"UnknownEscapeIsNotIso2022Jp", B("a\x1b[0mb"), Encoding::kShiftJis},
        RecogniseCase{"Utf8", B("日本語のページ"), Encoding::kUtf8},
        // Overlong forms, encoded surrogates and code points past U+10FFFF are not strict UTF-8.
        RecogniseCase{"OverlongIsNotUtf8", Bytes{0xC0, 0xAF, 0xE3, 0x81, 0x82},
                      Encoding::kShiftJis},
        RecogniseCase{"SurrogateIsNotUtf8", Bytes{0xED, 0xA0, 0x80, 0xE3, 0x81, 0x82},
                      Encoding::kShiftJis},
        RecogniseCase{"PastU10FFFFIsNotUtf8", Bytes{0xF4, 0x90, 0x80, 0x80, 0xE3, 0x81, 0x82},
                      Encoding::kShiftJis},
        RecogniseCase{"LeadPastF4IsNotUtf8", Bytes{0xF5, 0x80, 0x80, 0x80, 0xE3, 0x81, 0x82},
                      Encoding::kShiftJis},
        RecogniseCase{"PureAsciiIsShiftJis", B("<html>plain</html>"), Encoding::kShiftJis},
        RecogniseCase{"OnlyShiftJisDecodes", Bytes{0x93, 0xFA, 0x96, 0x7B}, Encoding::kShiftJis},
        RecogniseCase{"OnlyEucJpDecodes", Bytes{0xC6, 0xFC, 0xCB, 0xDC, 0xB8, 0xEC, 0xA4, 0xFE},
                      Encoding::kEucJp},
        RecogniseCase{"NeitherDecodesIsShiftJis", Bytes{0x82, 0xA0, 0x80, 0xFF},
                      Encoding::kShiftJis},
        // Both decode: as Shift_JIS these are four half-width katakana, as EUC-JP two hiragana.
        RecogniseCase{"HalfWidthKatakanaReadingLoses", Bytes{0xA4, 0xA2, 0xA4, 0xA4},
                      Encoding::kEucJp},
        RecogniseCase{"EucJpHalfWidthKatakanaOnly", Bytes{0x8E, 0xB1, 0x8E, 0xB2, 0x8E, 0xB3},
                      Encoding::kEucJp},
        // Both decode: as Shift_JIS these are user-defined characters, as EUC-JP 堯槇遙瑤凜熙.
        RecogniseCase{"UserDefinedAreaReadingLoses",
                      Bytes{0xF4, 0xA1, 0xF4, 0xA2, 0xF4, 0xA3, 0xF4, 0xA4, 0xF4, 0xA5, 0xF4, 0xA6},
                      Encoding::kEucJp},
        // A zero byte ends what is judged: UTF-8 after it does not count.
        RecogniseCase{"OnlyBytesBeforeZeroCount", Bytes{0x93, 0xFA, 0x00, 0xE3, 0x81, 0x82},
                      Encoding::kShiftJis}),
    [](const auto& info) { return std::string(info.param.name); });

// A meta declaration is a hint only where the bytes decode cleanly in what it names.
INSTANTIATE_TEST_SUITE_P(
    MetaCharset, Recognition,
    testing::Values(
        RecogniseCase{"LyingShiftJisOnUtf8Ignored", B("<meta charset=\"Shift_JIS\">日本語"),
                      Encoding::kUtf8},
        RecogniseCase{"LyingEucJpOnShiftJisIgnored", kEucMeta + Bytes{0x93, 0xFA, 0x96, 0x7B},
                      Encoding::kShiftJis},
        RecogniseCase{"LyingShiftJisOnIso2022JpIgnored",
                      B("<meta charset=shift_jis>\x1b$B$\"\x1b(B"), Encoding::kIso2022Jp},
        RecogniseCase{"HonouredWhereBothDecode",
                      B("<meta http-equiv=\"Content-Type\" content=\"text/html; "
                        "charset=Shift_JIS\">") +
                          Bytes{0xA4, 0xA2, 0xA4, 0xA4},
                      Encoding::kShiftJis},
        // As Shift_JIS these would be user-defined characters, which alone would
        // make them EUC-JP; the declaration comes first.
        RecogniseCase{"HonouredOverTheUserDefinedArea",
                      B("<meta charset=\"Shift_JIS\">") + Bytes{0xF4, 0xA1, 0xF4, 0xA2, 0xF4, 0xA3},
                      Encoding::kShiftJis},
        RecogniseCase{"PastFirst1024BytesIgnored",
                      B(std::string(1024, ' ')) + B("<meta charset=shift_jis>") +
                          Bytes{0xA4, 0xA2, 0xA4, 0xA4},
                      Encoding::kEucJp}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConvertCase {
    const char* name;
    friend void PrintTo(const ConvertCase& c, std::ostream* os) { *os << c.name; }
    Bytes input;
    Bytes expected;
};

class Conversion : public testing::TestWithParam<ConvertCase> {};

TEST_P(Conversion, GivesShiftJis) {
    EXPECT_EQ(Convert(GetParam().input), GetParam().expected);
}

const Bytes kNihongo = {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA};  // 日本語
const Bytes kGeta = {0x81, 0xAC};                             // 〓

INSTANTIATE_TEST_SUITE_P(
    Encodings, Conversion,
    testing::Values(
        ConvertCase{"ShiftJis", kNihongo + B("\r\n") + Bytes{0xB1},
                    kNihongo + B("\r\n") + Bytes{0xB1}},
        ConvertCase{"EucJp", kEucMeta + Bytes{0xC6, 0xFC, 0xCB, 0xDC, 0xB8, 0xEC, 0x8E, 0xB1},
                    kEucMeta + kNihongo + Bytes{0xB1}},
        // Microsoft's rows: circled one, and a kanji of the IBM rows written in JIS X 0212.
        ConvertCase{"EucJpMicrosoftRows", kEucMeta + Bytes{0xAD, 0xA1, 0x8F, 0xD4, 0xE3},
                    kEucMeta + Bytes{0x87, 0x40, 0xFA, 0x5C}},
        // Clean both ways (あい, or four half-width katakana): converted as EUC-JP while that is
        // found out, and the declaration decides which conversion is kept.
        ConvertCase{"BothCleanDeclaredEucJp", kEucMeta + Bytes{0xA4, 0xA2, 0xA4, 0xA4},
                    kEucMeta + Bytes{0x82, 0xA0, 0x82, 0xA2}},
        ConvertCase{"BothCleanDeclaredShiftJis",
                    B("<meta charset=\"Shift_JIS\">") + Bytes{0xA4, 0xA2, 0xA4, 0xA4},
                    B("<meta charset=\"Shift_JIS\">") + Bytes{0xA4, 0xA2, 0xA4, 0xA4}},
        ConvertCase{"Iso2022Jp", B("\x1b$BF|K\\8l\x1b(B!"), kNihongo + B("!")},
        ConvertCase{"Iso2022Jp1978", B("\x1b$@$\"\x1b(J~"), Bytes{0x82, 0xA0, '~'}},
        ConvertCase{"Iso2022Jp1990Announcer", B("\x1b&@\x1b$BF|\x1b(B"), Bytes{0x93, 0xFA}},
        ConvertCase{"Iso2022JpKatakanaByEscape", B("\x1b(I12\x1b(Ba"), Bytes{0xB1, 0xB2, 'a'}},
        ConvertCase{"Iso2022JpKatakanaByShiftOut",
                    B("\x1b(Ba\x0e\x31\x0f"
                      "b"),
                    Bytes{'a', 0xB1, 'b'}},
        ConvertCase{"Iso2022JpLineBreakInsideKanji", B("\x1b$BF|\nK\\\x1b(B"),
                    Bytes{0x93, 0xFA, '\n', 0x96, 0x7B}},
        ConvertCase{"Iso2022JpHalfPairIsGeta", B("\x1b$BF|K\x1b(Ba"),
                    Bytes{0x93, 0xFA} + kGeta + B("a")},
        ConvertCase{"Iso2022JpUnknownEscapeIsGeta", B("\x1b$BF|\x1b(B\x1bZa"),
                    Bytes{0x93, 0xFA} + kGeta + B("Za")},
        ConvertCase{"Iso2022JpSupplementaryKanjiLacking", B("\x1b$B$\"\x1b$(D0!\x1b(B"),
                    Bytes{0x82, 0xA0} + kGeta},
        ConvertCase{"Utf8", B("日本語ｱ"), kNihongo + Bytes{0xB1}},
        ConvertCase{"Utf8WithMark", Bytes{0xEF, 0xBB, 0xBF} + B("日本語"), kNihongo},
        ConvertCase{"Utf16Le", Bytes{0xFF, 0xFE, 0xE5, 0x65, 0x2C, 0x67, 0x9E, 0x8A}, kNihongo},
        ConvertCase{"Utf16Be", Bytes{0xFE, 0xFF, 0x65, 0xE5, 0x67, 0x2C, 0x8A, 0x9E}, kNihongo}),
    [](const auto& info) { return std::string(info.param.name); });

// Characters Shift_JIS lacks: their look-alike, else one "〓"; never a longer stand-in.
INSTANTIATE_TEST_SUITE_P(
    MissingCharacters, Conversion,
    testing::Values(ConvertCase{"LookAlikes", B("\u301C\u2212\u2016\u2014\u00A2\u00A3\u00AC"),
                                Bytes{0x81, 0x60, 0x81, 0x7C, 0x81, 0x61, 0x81, 0x5C, 0x81, 0x91,
                                      0x81, 0x92, 0x81, 0xCA}},
                    ConvertCase{"WaveDashFromIso2022Jp", B("\x1b$B!A\x1b(B"), Bytes{0x81, 0x60}},
                    ConvertCase{"CopyrightIsOneGeta", B("a\u00A9b"), B("a") + kGeta + B("b")},
                    ConvertCase{"EmojiIsOneGeta", B("a\U0001F600b"), B("a") + kGeta + B("b")},
                    // glibc's encoder would pass over a tag character (U+E0042 here) silently.
                    ConvertCase{"TagCharacterIsOneGeta", B("a\U000E0042b"),
                                B("a") + kGeta + B("b")},
                    ConvertCase{"TagCharacterFromUtf16IsOneGeta",
                                Bytes{0xFF, 0xFE, 'a', 0, 0x40, 0xDB, 0x42, 0xDC, 'b', 0},
                                B("a") + kGeta + B("b")},
                    ConvertCase{"KanjiOutsideShiftJisIsGeta", B("\u4E02"), kGeta}),
    [](const auto& info) { return std::string(info.param.name); });

// Invalid input: one "〓" per bad sequence and the text around it kept.
INSTANTIATE_TEST_SUITE_P(
    InvalidInput, Conversion,
    testing::Values(
        ConvertCase{"ShiftJisStrayBytes", Bytes{0x82, 0xA0, 0x80, 0xA0, 0x82, 0xA2},
                    Bytes{0x82, 0xA0} + kGeta + kGeta + Bytes{0x82, 0xA2}},
        ConvertCase{"ShiftJisLeadBeforeAscii", Bytes{0x82, 0xA0, 0x85, 0x41, 0x42},
                    Bytes{0x82, 0xA0} + kGeta + B("AB")},
        ConvertCase{"ShiftJisLoneLeadAtEnd", Bytes{0x82, 0xA0, 0x41, 0x82},
                    Bytes{0x82, 0xA0, 0x41} + kGeta},
        ConvertCase{"Utf8TruncatedSequenceIsOne",
                    Bytes{0xEF, 0xBB, 0xBF, 'A', 0xE3, 0x81, 'B', 0xC0, 0xAF},
                    B("A") + kGeta + B("B") + kGeta + kGeta},
        // The reader past U+10FFFF would make a code of it, and a zero byte would end the page.
        ConvertCase{"Utf8PastU10FFFFIsOneGetaPerByte",
                    Bytes{0xEF, 0xBB, 0xBF, 'A', 0xF4, 0x90, 0x80, 0x80, 'B'},
                    B("A") + kGeta + kGeta + kGeta + kGeta + B("B")},
        ConvertCase{"Utf8CutAtEnd", Bytes{0xEF, 0xBB, 0xBF, 'A', 0xE3, 0x81}, B("A") + kGeta},
        ConvertCase{"Utf16LoneSurrogate", Bytes{0xFF, 0xFE, 'A', 0, 0x00, 0xD8, 'B', 0},
                    B("A") + kGeta + B("B")},
        ConvertCase{"Utf16OddByteAtEnd", Bytes{0xFE, 0xFF, 0, 'A', 0x30}, B("A") + kGeta}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ZeroBytes, Conversion,
    testing::Values(
        ConvertCase{"EndShiftJisInput", Bytes{0x82, 0xA0, 0x00, 0x82, 0xA2}, Bytes{0x82, 0xA0}},
        ConvertCase{"EndUtf8Input", Bytes{0xEF, 0xBB, 0xBF, 'a', 0, 'b'}, B("a")},
        ConvertCase{"FirstByteZeroGivesNothing", Bytes{0x00, 0x82, 0xA0}, Bytes{}},
        // A UTF-16 body is read whole: its text is full of zero bytes.
        ConvertCase{"Utf16ReadWhole", Bytes{0xFF, 0xFE, 'a', 0, 'b', 0, 'c', 0}, B("abc")},
        ConvertCase{"Utf16NulCharacterKept", Bytes{0xFF, 0xFE, 'a', 0, 0, 0, 'b', 0},
                    Bytes{'a', 0, 'b'}}),
    [](const auto& info) { return std::string(info.param.name); });

// Rows 89-92 hold the NEC-selected IBM extension characters at the codes the Shift_JIS arithmetic
// gives. The code page reads the IBM duplicates (FA40-FC4B) as the same characters, so only the
// bytes tell whether the right codes were written.
struct ExtensionRowsCase {
    const char* name;
    friend void PrintTo(const ExtensionRowsCase& c, std::ostream* os) { *os << c.name; }
    Bytes head;  // comes out as it is
    Bytes shiftIn;
    std::uint8_t high;  // what the encoding adds to each JIS byte
    Bytes shiftOut;
};

class ExtensionRows : public testing::TestWithParam<ExtensionRowsCase> {};

TEST_P(ExtensionRows, AreTheirCp932Codes) {
    const ExtensionRowsCase& c = GetParam();
    // One body of "あり, the cell, です" for every cell, long enough to hold many of the
    // converter's blocks.
    Bytes input = c.head + c.shiftIn;
    Bytes expected = c.head;
    std::vector<std::string> cells;
    for (int row = 89; row <= 92; ++row) {
        for (int cell = 1; cell <= 94; ++cell) {
            const int lead = (row + 1) / 2 + 0xC0;
            const int trail = row % 2 == 1 ? cell + 0x3F + (cell >= 64) : cell + 0x9E;
            const Bytes code = {static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(trail)};
            if (!codepage::DecodesCleanly(code)) continue;  // a cell CP932 leaves empty
            cells.push_back(std::to_string(row) + "-" + std::to_string(cell));
            const auto jisRow = static_cast<std::uint8_t>(row + 0x20);
            const auto jisCell = static_cast<std::uint8_t>(cell + 0x20);
            Bytes jis = {0x24, 0x22, 0x24, 0x6A, jisRow, jisCell, 0x24, 0x47, 0x24, 0x39};
            for (auto& b : jis) b |= c.high;
            input = std::move(input) + jis;
            expected = std::move(expected) + Bytes{0x82, 0xA0, 0x82, 0xE8} + code +
                       Bytes{0x82, 0xC5, 0x82, 0xB7};
        }
    }
    ASSERT_EQ(cells.size(), 374u);
    const Bytes output = Convert(input + c.shiftOut);
    ASSERT_EQ(output.size(), expected.size());
    std::vector<std::string> wrong;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const auto at = static_cast<std::ptrdiff_t>(c.head.size() + 10 * i);
        if (!std::equal(output.begin() + at, output.begin() + at + 10, expected.begin() + at)) {
            wrong.push_back(cells[i]);
        }
    }
    EXPECT_EQ(wrong, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, ExtensionRows,
    testing::Values(ExtensionRowsCase{"EucJp", kEucMeta, {}, 0x80, {}},
                    ExtensionRowsCase{"Iso2022Jp1983", {}, B("\x1b$B"), 0, B("\x1b(B")},
                    ExtensionRowsCase{"Iso2022Jp1978", {}, B("\x1b$@"), 0, B("\x1b(B")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NkfOptions, OnlyShiftJisOutputIsKnown) {
    EXPECT_TRUE(nkf::SetNkfOption("s"));
    EXPECT_TRUE(nkf::SetNkfOption("-s"));
    for (const char* unknown : {"", "e", "w", "sx", "-j", "s "}) {
        EXPECT_FALSE(nkf::SetNkfOption(unknown)) << unknown;
    }
}

TEST(NkfOptions, UnknownOptionLeavesNothingSelected) {
    ASSERT_TRUE(nkf::SetNkfOption("s"));
    ASSERT_FALSE(nkf::SetNkfOption("e"));
    Bytes output(16, 0xEE);
    const nkf::ConvertResult result = nkf::NkfConvert(output, B("abc"));
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.written, 0u);
    EXPECT_EQ(output[0], 0);
    EXPECT_EQ(output[1], 0xEE);
}

// An empty span cut from the front of a buffer: a write through it, even of the terminator alone,
// would land in the buffer.
TEST(NkfBuffer, EmptyOutputIsAFailureAndUntouched) {
    ASSERT_TRUE(nkf::SetNkfOption("s"));
    Bytes buffer(4, 0xEE);
    const nkf::ConvertResult result = nkf::NkfConvert(std::span(buffer).first(0), B("abc"));
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.written, 0u);
    EXPECT_EQ(buffer, Bytes(4, 0xEE));
}

// Every capacity from one byte to one past the need: a short buffer holds whole characters and
// the terminator, and nothing is written past its end (the sanitizer build checks the heap).
TEST(NkfBuffer, EveryCapacityStaysInsideAndEndsOnACharacter) {
    const Bytes inputs[] = {
        B("aあ\u00A9bｱ"),
        Bytes{0xFF, 0xFE, 'a', 0, 0x42, 0x30, 0x00, 0xD8, 'b', 0},
        B("\x1b$BF|K\\\x1b(B\x1b(I1\x1b(B"),
        Bytes{'a', 0x82, 0xA0, 0x80, 0x82},
    };
    for (const Bytes& input : inputs) {
        nkf::ConvertResult full;
        const Bytes whole = Convert(input, input.size() * 4 + 1, &full);
        ASSERT_TRUE(full.complete);
        for (std::size_t capacity = 1; capacity <= whole.size() + 1; ++capacity) {
            nkf::ConvertResult result;
            const Bytes part = Convert(input, capacity, &result);
            EXPECT_EQ(result.complete, capacity == whole.size() + 1) << capacity;
            ASSERT_LE(part.size(), whole.size());
            EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin())) << capacity;
            // Ends on a character boundary: the code page reads the part as a prefix.
            EXPECT_TRUE(codepage::DecodesCleanly(part) || !codepage::DecodesCleanly(whole))
                << capacity;
            EXPECT_GE(part.size() + 2, capacity - 1) << capacity;
        }
    }
}

// The window's buffer of four times the round-trip length through the code page always holds the
// conversion, whatever the bytes.
TEST(NkfBuffer, FourTimesTheCodePageLengthAlwaysSuffices) {
    std::mt19937 random(932);
    for (int round = 0; round < 300; ++round) {
        Bytes input(random() % 64);
        for (auto& b : input) b = static_cast<std::uint8_t>(random());
        if (round % 3 == 0 && input.size() >= 2) {
            input[0] = 0xFF;
            input[1] = 0xFE;
        }
        const std::size_t n = codepage::EncodedLength(codepage::DecodeAll(input));
        nkf::ConvertResult result;
        Convert(input, 4 * n + 1, &result);
        EXPECT_TRUE(result.complete) << round;
    }
}

}  // namespace
