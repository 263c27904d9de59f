// The byte-sequence rules that recognition, the kanji converter and the code page share: one table
// per rule, at the boundaries where a rule written twice would drift.
#include "platform/codepage/byte_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const Bytes& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
        text += ' ';
    }
    return text;
}

// A sequence, how long the well-formed sequence at its start is (0: none), and how many bytes one
// bad sequence there takes.
struct SequenceRow {
    Bytes bytes;
    std::size_t wellFormed;
    std::size_t bad;
};

TEST(ByteRules, Utf8) {
    const SequenceRow rows[] = {
        {{0x41}, 1, 1},
        {{0x7F}, 1, 1},
        {{0x80}, 0, 1},        // a continuation byte alone
        {{0xC1, 0xBF}, 0, 1},  // overlong
        {{0xC2, 0x80}, 2, 2},
        {{0xDF, 0xBF}, 2, 2},
        {{0xDF, 0xC0}, 0, 1},
        {{0xE0, 0x9F, 0x80}, 0, 1},  // overlong
        {{0xE0, 0xA0, 0x80}, 3, 3},
        {{0xE3, 0x81, 0x82}, 3, 3},
        {{0xE3, 0x81}, 0, 2},  // cut at the end: the start is one bad sequence
        {{0xE3, 0x81, 0x41}, 0, 2},
        {{0xED, 0x9F, 0xBF}, 3, 3},
        {{0xED, 0xA0, 0x80}, 0, 1},  // a surrogate
        {{0xEF, 0xBF, 0xBF}, 3, 3},
        {{0xF0, 0x8F, 0xBF, 0xBF}, 0, 1},  // overlong
        {{0xF0, 0x90, 0x80, 0x80}, 4, 4},
        {{0xF0, 0x90, 0x80, 0x41}, 0, 3},
        {{0xF4, 0x8F, 0xBF, 0xBF}, 4, 4},  // U+10FFFF
        {{0xF4, 0x90, 0x80, 0x80}, 0, 1},  // past U+10FFFF
        {{0xF5, 0x80, 0x80, 0x80}, 0, 1},
        {{0xFF}, 0, 1},
    };
    for (const SequenceRow& row : rows) {
        EXPECT_EQ(codepage::Utf8SequenceLength(row.bytes), row.wellFormed) << Hex(row.bytes);
        EXPECT_EQ(codepage::Utf8BadSequenceLength(row.bytes), row.bad) << Hex(row.bytes);
    }
}

// The word form that the conversion's loops over Japanese text read says what the rule says, of
// every three bytes.
TEST(ByteRules, Utf8ThreeByteCodePointOfEveryThreeBytes) {
    std::size_t wrong = 0;
    for (std::uint32_t word = 0; word < 1U << 24; ++word) {
        const Bytes bytes = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                             static_cast<std::uint8_t>(word >> 16)};
        const char32_t expected =
            codepage::Utf8SequenceLength(bytes) == 3
                ? (bytes[0] & 0x0F) << 12 | (bytes[1] & 0x3F) << 6 | (bytes[2] & 0x3F)
                : 0;
        // The fourth byte of the word is not looked at.
        if (codepage::Utf8ThreeByteCodePoint(word | 0xA5000000) != expected && ++wrong <= 5) {
            ADD_FAILURE() << Hex(bytes);
        }
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(ByteRules, EucJp) {
    const SequenceRow rows[] = {
        {{0x41}, 1, 1},
        {{0xA1, 0xA1}, 2, 2},
        {{0xFE, 0xFE}, 2, 2},
        {{0xA1}, 0, 1},  // cut at the end
        {{0xA1, 0x41}, 0, 1},
        {{0xA1, 0xFF}, 0, 1},
        {{0xA0, 0xA1}, 0, 1},
        {{0xFF, 0xA1}, 0, 1},
        {{0x80, 0xA1}, 0, 1},
        {{0x8E, 0xA1}, 2, 2},  // half-width katakana
        {{0x8E, 0xDF}, 2, 2},
        {{0x8E, 0xA0}, 0, 1},
        {{0x8E, 0xE0}, 0, 1},
        {{0x8F, 0xA1, 0xA1}, 3, 3},  // JIS X 0212
        {{0x8F, 0xFE, 0xFE}, 3, 3},
        {{0x8F, 0xA1}, 0, 1},
        {{0x8F, 0xA1, 0x41}, 0, 1},
        {{0x8F, 0xA0, 0xA1}, 0, 1},
    };
    for (const SequenceRow& row : rows) {
        EXPECT_EQ(codepage::EucJpSequenceLength(row.bytes), row.wellFormed) << Hex(row.bytes);
        EXPECT_EQ(codepage::EucJpBadSequenceLength(row.bytes), row.bad) << Hex(row.bytes);
    }
}

TEST(ByteRules, Cp932) {
    // Lead and trail bytes at each edge of their ranges.
    const struct {
        std::uint8_t b;
        bool lead;
        bool trail;
    } bytes[] = {
        {0x3F, false, false}, {0x40, false, true}, {0x7E, false, true}, {0x7F, false, false},
        {0x80, false, true},  {0x81, true, true},  {0x9F, true, true},  {0xA0, false, true},
        {0xDF, false, true},  {0xE0, true, true},  {0xFC, true, true},  {0xFD, false, false},
    };
    for (const auto& row : bytes) {
        EXPECT_EQ(codepage::IsLeadByte(row.b), row.lead) << Hex({row.b});
        EXPECT_EQ(codepage::IsTrailByte(row.b), row.trail) << Hex({row.b});
    }
    // A lead needs a trail; a bad sequence takes a non-ASCII trail with its lead, and leaves
    // anything else to be read afresh.
    const SequenceRow sequences[] = {
        {{0x85, 0x80}, 2, 2}, {{0x85, 0xFC}, 2, 2}, {{0x85, 0x40}, 2, 1},
        {{0x85, 0x7E}, 2, 1}, {{0x85, 0x7F}, 0, 1}, {{0x85, 0xFD}, 0, 1},
        {{0x85}, 0, 1},       {{0xA0, 0x80}, 1, 1}, {{0xFD, 0x80}, 1, 1},
    };
    for (const SequenceRow& row : sequences) {
        EXPECT_EQ(codepage::Cp932SequenceLength(row.bytes), row.wellFormed) << Hex(row.bytes);
        EXPECT_EQ(codepage::Cp932BadSequenceLength(row.bytes), row.bad) << Hex(row.bytes);
    }
}

TEST(ByteRules, AnyHighBitSeesEachOfTheEightBytes) {
    for (std::size_t at = 0; at <= 8; ++at) {
        Bytes word(9, 0x7F);  // the ninth byte lies past the word and must not count
        word[at] = 0x80;
        EXPECT_EQ(codepage::AnyHighBit(word.data()), at < 8) << at;
    }
}

TEST(ByteRules, LowerAsciiFoldsAsciiLettersOnly) {
    const std::pair<char, char> rows[] = {
        {'@', '@'}, {'A', 'a'}, {'M', 'm'}, {'Z', 'z'},       {'[', '['},
        {'`', '`'}, {'a', 'a'}, {'z', 'z'}, {'\xC1', '\xC1'},  // Latin-1 capital A acute: kept
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(codepage::LowerAscii(in), out) << in;
}

}  // namespace
