#include "platform/codepage/codepage.h"
#include "platform/codepage/plain_cp932.h"

#include <gtest/gtest.h>

#include <ostream>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct DecodeCase {
    const char* name;
    friend void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }
    Bytes bytes;
    std::u16string text;
};

class CodePageDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(CodePageDecode, GivesExpectedText) {
    EXPECT_EQ(codepage::DecodeAll(GetParam().bytes), GetParam().text);
    EXPECT_EQ(codepage::DecodedLength(GetParam().bytes), GetParam().text.size());
}

// Where glibc, ICU and Qt disagree (ICU and Qt swap 0x1A, 0x1C and 0x7F among themselves), and the
// rows Microsoft added to Shift_JIS.
INSTANTIATE_TEST_SUITE_P(
    Mapping, CodePageDecode,
    testing::Values(DecodeCase{"ControlCodesAreThemselves", {0x1A, 0x1C, 0x7F}, u"\x1A\x1C\x7F"},
                    DecodeCase{"BackslashAndTildeAreAscii", {0x5C, 0x7E}, u"\\~"},
                    DecodeCase{"WaveDashIsFullWidthTilde", {0x81, 0x60}, u"\uFF5E"},
                    DecodeCase{"MinusIsFullWidthHyphenMinus", {0x81, 0x7C}, u"\uFF0D"},
                    DecodeCase{"NecRow13CircledOne", {0x87, 0x40}, u"\u2460"},
                    DecodeCase{"NecSelectedIbmRow", {0xED, 0x40}, u"\u7E8A"},
                    DecodeCase{"IbmRowSmallRoman", {0xFA, 0x40}, u"\u2170"},
                    DecodeCase{"IbmRowLastKanji", {0xFC, 0x4B}, u"\u9ED1"},
                    DecodeCase{"HalfWidthKatakana", {0xB1, 0xDF}, u"\uFF71\uFF9F"},
                    DecodeCase{"Kanji", {0x93, 0xFA, 0x96, 0x7B}, u"日本"}),
    [](const auto& info) { return std::string(info.param.name); });

// One visible replacement per bad sequence, and the text around it kept.
INSTANTIATE_TEST_SUITE_P(
    BadSequences, CodePageDecode,
    testing::Values(
        DecodeCase{"BytesNoCharacterStartsWith",
                   {0x80, 0xA0, 0xFD, 0xFE, 0xFF},
                   u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        DecodeCase{"LoneLeadAtEnd", {0x41, 0x82}, u"A\uFFFD"},
        DecodeCase{"OnlyALeadByte", {0x93}, u"\uFFFD"},
        DecodeCase{"LeadBeforeAsciiKeepsTheAscii", {0x82, 0x41, 0x42}, u"\uFFFDAB"},
        DecodeCase{"LeadBeforeDeleteKeepsTheDelete", {0x82, 0x7F}, u"\uFFFD\x7F"},
        DecodeCase{
            "LeadBeforeLeadReadsTheSecondAfresh", {0x82, 0xFD, 0x82, 0xA0}, u"\uFFFD\uFFFD\u3042"},
        DecodeCase{"UnassignedPairIsOneBadSequence", {0x85, 0x80, 0x41}, u"\uFFFDA"},
        DecodeCase{"UnassignedPairWithAsciiTrailKeepsTheAscii", {0x85, 0x40}, u"\uFFFD@"},
        DecodeCase{"ZeroByteIsACharacter", {0x41, 0x00, 0x42}, std::u16string(u"A\0B", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodePage, LeadAtChunkEndWaitsForTheNextChunk) {
    const Bytes bytes = {0x41, 0x82, 0xA0};
    char16_t out[4];
    const codepage::Progress first =
        codepage::Decode(std::span(bytes).first(2), std::span(out), false);
    EXPECT_EQ(first.read, 1u);
    EXPECT_EQ(first.written, 1u);
    const codepage::Progress second =
        codepage::Decode(std::span(bytes).subspan(first.read), std::span(out).subspan(1), true);
    EXPECT_EQ(second.read, 2u);
    EXPECT_EQ(std::u16string(out, first.written + second.written), u"Aあ");
}

TEST(CodePage, DecodeStopsWhenOutputIsFull) {
    const Bytes bytes = {0x82, 0xA0, 0x82, 0xA2, 0x41};
    char16_t out[2] = {0, 0};
    const codepage::Progress progress = codepage::Decode(bytes, out, true);
    EXPECT_EQ(progress.read, 4u);
    EXPECT_EQ(progress.written, 2u);
}

struct EncodeCase {
    const char* name;
    friend void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }
    std::u16string text;
    Bytes bytes;
};

class CodePageEncode : public testing::TestWithParam<EncodeCase> {};

TEST_P(CodePageEncode, GivesExpectedBytes) {
    EXPECT_EQ(codepage::EncodeAll(GetParam().text), GetParam().bytes);
    EXPECT_EQ(codepage::EncodedLength(GetParam().text), GetParam().bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CodePageEncode,
    testing::Values(
        EncodeCase{"ControlCodesAreThemselves", u"\x1A\x1C\x7F", {0x1A, 0x1C, 0x7F}},
        EncodeCase{"FullWidthTildeIsWaveDash", u"\uFF5E", {0x81, 0x60}},
        // The same kanji sits in the NEC-selected and the IBM rows; the IBM code is the one made.
        EncodeCase{"NecSelectedKanjiGoesToIbmRow", u"\u7E8A", {0xFA, 0x5C}},
        EncodeCase{"RomanNumeralGoesToNecRow", u"\u2160", {0x87, 0x54}},
        EncodeCase{"MissingCharacterIsGeta", u"a\u00A6b", {0x61, 0x81, 0xAC, 0x62}},
        EncodeCase{"SurrogatePairIsOneGeta", u"\U0001F600", {0x81, 0xAC}},
        EncodeCase{"LoneSurrogatesAreOneGetaEach", u"\xD800x\xDC00", {0x81, 0xAC, 'x', 0x81, 0xAC}},
        EncodeCase{"HighSurrogateAtEnd", u"x\xD83D", {'x', 0x81, 0xAC}},
        EncodeCase{"ReplacementCharacterIsGeta", u"\uFFFD", {0x81, 0xAC}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodePage, EncodeNeverSplitsACharacter) {
    std::uint8_t out[3] = {0xEE, 0xEE, 0xEE};
    const codepage::Progress progress =
        codepage::Encode(std::u16string_view(u"あいA"), std::span(out).first(3), true);
    EXPECT_EQ(progress.read, 1u);
    EXPECT_EQ(progress.written, 2u);
    EXPECT_EQ(out[2], 0xEE);
}

TEST(CodePage, HighSurrogateAtChunkEndWaitsForTheNextChunk) {
    std::uint8_t out[4];
    const codepage::Progress progress =
        codepage::Encode(std::u16string_view(u"x\xD83D"), out, false);
    EXPECT_EQ(progress.read, 1u);
    EXPECT_EQ(progress.written, 1u);
}

// Every character the code page decodes encodes back to a code that decodes to it again: the
// tables built from the converter agree with each other, and N equals the body's length for any
// valid body.
TEST(CodePage, EveryDecodableCodeRoundTrips) {
    int checked = 0;
    for (unsigned lead = 0; lead < 0x100; ++lead) {
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            Bytes bytes = {static_cast<std::uint8_t>(lead)};
            if (codepage::IsLeadByte(bytes[0])) {
                if (!codepage::IsTrailByte(static_cast<std::uint8_t>(trail))) continue;
                bytes.push_back(static_cast<std::uint8_t>(trail));
            } else if (trail != 0x40) {
                continue;
            }
            const std::u16string text = codepage::DecodeAll(bytes);
            if (text[0] == codepage::kDecodeReplacement) continue;
            ASSERT_EQ(text.size(), 1u);
            const Bytes again = codepage::EncodeAll(text);
            EXPECT_EQ(again.size(), bytes.size()) << std::hex << lead << ' ' << trail;
            EXPECT_EQ(codepage::DecodeAll(again), text) << std::hex << lead << ' ' << trail;
            ++checked;
        }
    }
    // 189 single bytes, 6879 JIS X 0208 characters, 83 in the NEC row 13, 374 in the NEC-selected
    // IBM rows, 388 in the IBM rows and 1880 user-defined.
    EXPECT_GT(checked, 9000);
}

// Every routine that walks CP932 bytes against the plain code page (glibc's converter asked one
// sequence at a time), on each kind of sequence the walk tells apart, each put after 0 to 17 ASCII
// bytes so that it falls at every place of the blocks of eight and sixteen, and before ASCII so
// that blocks follow it. The window sizes its buffer from the round-trip length, and places text
// by the decoded length.
TEST(CodePage, EveryWalkAgreesWithThePlainCodePage) {
    const Bytes rows[] = {
        {},
        {0x93, 0xFA, 0x96, 0x7B, 0x82, 0xA0},              // a run of kanji and kana
        {0xB1, 0x93, 0xFA, 0xDF, 0xB1, 0x96, 0x7B},        // two-byte characters and katakana mixed
        {0xA4, 0xB3, 0xA4, 0xF3, 0xC6, 0xFC, 0xCB, 0xDC},  // EUC-JP read as Shift_JIS
        {0x93, 0xFA, 0x41, 0x93, 0xFA},                    // a run broken by one ASCII byte
        {0x80, 0xA0, 0xFD, 0xFE, 0xFF},                    // bytes no character starts with
        {0x93, 0xFA, 0x85, 0x80, 0x93},        // an unassigned pair inside a run, a lead at the end
        {0x85, 0x40, 0x85, 0x7E},              // unassigned pairs whose trail is ASCII
        {0x82, 0x7F, 0x82, 0xFD, 0x82, 0x20},  // leads whose next byte is no trail
        {0xF0, 0x40, 0xFC, 0xFC},              // user-defined characters, and a pair past them
        {0x87, 0x40, 0xED, 0x40, 0xFA, 0x40},  // NEC and IBM rows, which encode back elsewhere
        {0x82},
    };
    for (const Bytes& row : rows) {
        for (std::size_t lngAscii = 0; lngAscii <= 17; ++lngAscii) {
            Bytes bytes(lngAscii, 'a');
            bytes.insert(bytes.end(), row.begin(), row.end());
            for (const Bytes& tail : {Bytes{}, Bytes(9, 'z')}) {
                Bytes input = bytes;
                input.insert(input.end(), tail.begin(), tail.end());
                const std::u16string text = codepage::plain::Decode(input);
                SCOPED_TRACE(testing::PrintToString(input));
                EXPECT_EQ(codepage::DecodeAll(input), text);
                EXPECT_EQ(codepage::DecodedLength(input), text.size());
                EXPECT_EQ(codepage::DecodesCleanly(input),
                          text.find(codepage::kDecodeReplacement) == std::u16string::npos);
                EXPECT_EQ(codepage::RoundTripLength(input), codepage::plain::Encode(text).size());
            }
        }
    }
}

// Decoding takes eight two-byte characters at once where the bytes are that: a run of kanji with
// something else at each place of it, against the plain code page.
TEST(CodePage, DecodingRunsOfKanjiWithSomethingElseAtEveryPlace) {
    // A byte below 80 would read as a lead if its top bit were taken for set.
    const Bytes odds[] = {{0xB1},       {'A'},  {'a'},  {0x13},       {0x85, 0x80}, {0x83, 0x41},
                          {0x85, 0x40}, {0x80}, {0xFD}, {0xFA, 0x40}, {0x82}};
    for (const Bytes& odd : odds) {
        for (std::size_t at = 0; at <= 20; ++at) {
            Bytes input;
            for (std::size_t k = 0; k < 20; ++k) {
                if (k == at) input.insert(input.end(), odd.begin(), odd.end());
                input.insert(input.end(), {0x93, 0xFA});
            }
            if (at == 20) input.insert(input.end(), odd.begin(), odd.end());
            EXPECT_EQ(codepage::DecodeAll(input), codepage::plain::Decode(input))
                << testing::PrintToString(input);
        }
    }
}

// The lengths that the pairing of lead bytes gives, 64 bytes at a time, against the decoding
// itself: a run of one to five leads (each of them a trail as well) ending in each kind of byte
// that may follow a lead, or in nothing, put at every place across a boundary of 64, among kanji,
// katakana or ASCII, before a block of ASCII or none.
TEST(CodePage, LengthsByHowLeadsPairAtEveryPlace) {
    const int nexts[] = {-1,   0x00, 0x3F, 0x40, 0x41, 0x7E, 0x7F, 0x80,
                         0xA0, 0xA1, 0xDF, 0xFD, 0xFF, 0x81, 0xE0};  // -1: the end
    const Bytes fills[] = {{'a'}, {0xB1}, {0x93, 0xFA}};
    for (const std::uint8_t lead : {0x83, 0x85, 0xFC}) {  // with an ASCII trail: ア, none, IBM
        for (std::size_t run = 1; run <= 5; ++run) {
            for (const int next : nexts) {
                for (const Bytes& fill : fills) {
                    for (std::size_t at = 40; at <= 70; ++at) {
                        Bytes input;
                        while (input.size() < at)
                            input.insert(input.end(), fill.begin(), fill.end());
                        input.insert(input.end(), run, lead);
                        if (next >= 0) input.push_back(static_cast<std::uint8_t>(next));
                        for (const std::size_t tail : {std::size_t{0}, std::size_t{70}}) {
                            if (next < 0 && tail > 0) continue;
                            Bytes page = input;
                            page.insert(page.end(), tail, 'z');
                            const std::u16string text = codepage::DecodeAll(page);
                            ASSERT_EQ(codepage::DecodedLength(page), text.size())
                                << testing::PrintToString(page);
                            ASSERT_EQ(codepage::RoundTripLength(page),
                                      codepage::EncodeAll(text).size())
                                << testing::PrintToString(page);
                        }
                    }
                }
            }
        }
    }
}

// A long page is measured in two halves, which must meet where reading is in step: a blind border
// in the middle of a run of "\x81\x40" (one character each) would cut one in two. Lowered sizes put
// pages of a few kilobytes on that path; a border that cannot be found in reach leaves the page to
// one go.
TEST(CodePage, RoundTripLengthInTwoHalvesIsTheWhole) {
    std::mt19937 random(932);
    for (const codepage::TwoHalves halves :
         {codepage::TwoHalves{64, 16}, codepage::TwoHalves{64, 4096}, codepage::TwoHalves{2, 1}}) {
        for (int round = 0; round < 300; ++round) {
            Bytes page(2 + random() % 3000);
            const std::size_t middle = page.size() / 2;
            for (std::size_t at = 0; at < page.size(); ++at) {
                page[at] = static_cast<std::uint8_t>(random() % 3 == 0 ? 0x81 + random() % 0x7C
                                                                       : random());
                if (round % 2 == 0 && at + 40 > middle && at < middle + 40) {
                    page[at] = (middle - at) % 2 ? 0x81 : 0x40;
                }
            }
            ASSERT_EQ(codepage::RoundTripLength(page, halves),
                      codepage::plain::Encode(codepage::plain::Decode(page)).size())
                << round << ' ' << halves.from << ' ' << halves.borderSearch;
        }
    }
}

TEST(CodePage, DecodesCleanlyOnlyWithoutReplacement) {
    EXPECT_TRUE(codepage::DecodesCleanly(Bytes{0x93, 0xFA, 0x41, 0xB1}));
    EXPECT_TRUE(codepage::DecodesCleanly(Bytes{}));
    EXPECT_FALSE(codepage::DecodesCleanly(Bytes{0x41, 0x93}));
    EXPECT_FALSE(codepage::DecodesCleanly(Bytes{0x85, 0x40}));
    EXPECT_FALSE(codepage::DecodesCleanly(Bytes{0xA0}));
}

}  // namespace
