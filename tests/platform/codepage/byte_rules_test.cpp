// The byte-sequence rules that recognition, the kanji converter and the code page share: one table
// per rule, each row of it at every edge of its ranges, where a rule written twice would drift.
#include "platform/codepage/byte_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
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

// The bytes at the edges of every range a rule draws, and a few between: each row of a rule is
// tried with each of them in each place after its first byte.
constexpr std::uint8_t kEdges[] = {0x00, 0x20, 0x21, 0x3F, 0x40, 0x41, 0x7E, 0x7F,
                                   0x80, 0x8E, 0x8F, 0x90, 0x9F, 0xA0, 0xA1, 0xBF,
                                   0xC0, 0xDF, 0xE0, 0xFC, 0xFD, 0xFE, 0xFF};

// A row of a rule: the first bytes it covers, the length of the sequence they start, the range
// each later byte must fall in, and a byte inside those ranges that is not in them (0: none).
struct Row {
    std::uint8_t first;
    std::uint8_t last;
    std::size_t length;
    std::pair<std::uint8_t, std::uint8_t> next[3];
    std::uint8_t hole = 0;
};

// Checks `wellFormed` and `bad` on every first byte of every row, each later byte at each edge and
// the sequence cut short after each byte: well formed when every byte is in its range, and a bad
// sequence as long as `badLength` says for the bytes, the number of them in range before the first
// that is not, and whether all are. A first byte in no row starts no sequence.
template <class WellFormed, class Bad, class BadLength>
void CheckRows(const std::vector<Row>& rows, WellFormed wellFormed, Bad bad, BadLength badLength) {
    for (unsigned first = 0; first < 0x100; ++first) {
        const Row* row = nullptr;
        for (const Row& r : rows) {
            if (first >= r.first && first <= r.last) row = &r;
        }
        if (row == nullptr) {
            for (std::uint8_t next : kEdges) {
                const Bytes bytes = {static_cast<std::uint8_t>(first), next, next, next};
                EXPECT_EQ(wellFormed(bytes), 0u) << Hex(bytes);
                EXPECT_EQ(bad(bytes), 1u) << Hex(bytes);
            }
            continue;
        }
        // Each later byte at each edge, the others in range; then cut after each byte.
        for (std::size_t at = 1; at < std::max<std::size_t>(row->length, 2); ++at) {
            for (std::uint8_t edge : kEdges) {
                Bytes bytes = {static_cast<std::uint8_t>(first)};
                std::size_t lngMatched = 1;
                bool blnOut = false;
                for (std::size_t k = 1; k < row->length; ++k) {
                    const auto [low, high] = row->next[k - 1];
                    const std::uint8_t b = k == at ? edge : low;
                    bytes.push_back(b);
                    if (!blnOut && b >= low && b <= high && b != row->hole) {
                        ++lngMatched;
                    } else {
                        blnOut = true;
                    }
                }
                if (row->length == 1) bytes.push_back(edge);
                EXPECT_EQ(wellFormed(bytes), blnOut ? 0 : row->length) << Hex(bytes);
                EXPECT_EQ(bad(bytes), badLength(bytes, lngMatched, !blnOut)) << Hex(bytes);
            }
        }
        for (std::size_t cut = 1; cut < row->length; ++cut) {
            Bytes bytes = {static_cast<std::uint8_t>(first)};
            for (std::size_t k = 1; k < cut; ++k) bytes.push_back(row->next[k - 1].second);
            EXPECT_EQ(wellFormed(bytes), 0u) << Hex(bytes);
            EXPECT_EQ(bad(bytes), badLength(bytes, cut, false)) << Hex(bytes);
        }
    }
}

// UTF-8 as the Unicode standard's table of well-formed byte sequences draws it: no overlong forms,
// no surrogates, nothing past U+10FFFF. A bad sequence is the longest start of a well-formed one.
TEST(ByteRules, Utf8EveryRowAtEveryEdge) {
    const std::vector<Row> rows = {
        {0x00, 0x7F, 1, {}},
        {0xC2, 0xDF, 2, {{0x80, 0xBF}}},
        {0xE0, 0xE0, 3, {{0xA0, 0xBF}, {0x80, 0xBF}}},
        {0xE1, 0xEC, 3, {{0x80, 0xBF}, {0x80, 0xBF}}},
        {0xED, 0xED, 3, {{0x80, 0x9F}, {0x80, 0xBF}}},
        {0xEE, 0xEF, 3, {{0x80, 0xBF}, {0x80, 0xBF}}},
        {0xF0, 0xF0, 4, {{0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
        {0xF1, 0xF3, 4, {{0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
        {0xF4, 0xF4, 4, {{0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
    };
    CheckRows(
        rows, [](const Bytes& b) { return codepage::Utf8SequenceLength(b); },
        [](const Bytes& b) { return codepage::Utf8BadSequenceLength(b); },
        [](const Bytes&, std::size_t matched, bool) { return matched; });
}

// EUC-JP: ASCII, two JIS X 0208 bytes, 0x8E and a half-width katakana, 0x8F and two JIS X 0212
// bytes. A well-formed sequence that is no character is bad whole, any other its first byte alone.
TEST(ByteRules, EucJpEveryRowAtEveryEdge) {
    const std::vector<Row> rows = {
        {0x00, 0x7F, 1, {}},
        {0x8E, 0x8E, 2, {{0xA1, 0xDF}}},
        {0x8F, 0x8F, 3, {{0xA1, 0xFE}, {0xA1, 0xFE}}},
        {0xA1, 0xFE, 2, {{0xA1, 0xFE}}},
    };
    CheckRows(
        rows, [](const Bytes& b) { return codepage::EucJpSequenceLength(b); },
        [](const Bytes& b) { return codepage::EucJpBadSequenceLength(b); },
        [](const Bytes&, std::size_t matched, bool whole) { return whole ? matched : 1; });
}

// CP932: a lead byte and a trail, or any other byte alone. A bad sequence takes a trail that is
// not ASCII with its lead, and leaves an ASCII one to be read afresh.
TEST(ByteRules, Cp932EveryRowAtEveryEdge) {
    const std::vector<Row> rows = {
        {0x00, 0x80, 1, {}}, {0x81, 0x9F, 2, {{0x40, 0xFC}}, 0x7F},
        {0xA0, 0xDF, 1, {}}, {0xE0, 0xFC, 2, {{0x40, 0xFC}}, 0x7F},
        {0xFD, 0xFF, 1, {}},
    };
    CheckRows(
        rows, [](const Bytes& b) { return codepage::Cp932SequenceLength(b); },
        [](const Bytes& b) { return codepage::Cp932BadSequenceLength(b); },
        [](const Bytes& b, std::size_t matched, bool whole) {
            return whole && matched == 2 && b[1] >= 0x80 ? std::size_t{2} : std::size_t{1};
        });
    for (unsigned b = 0; b < 0x100; ++b) {
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        const bool trail = b >= 0x40 && b <= 0xFC && b != 0x7F;
        const std::uint8_t byte = static_cast<std::uint8_t>(b);
        EXPECT_EQ(codepage::IsLeadByte(byte), lead) << Hex({byte});
        EXPECT_EQ(codepage::IsTrailByte(byte), trail) << Hex({byte});
        EXPECT_EQ(codepage::IsCp932SequenceOfItsOwn(byte), !lead && !trail) << Hex({byte});
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
