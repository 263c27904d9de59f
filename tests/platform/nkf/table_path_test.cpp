// The table-driven conversion against its iconv reference where its fast paths have edges: runs of
// one character long enough for several blocks (four three-byte sequences or eight pairs at once),
// with a character that no block takes put at each place of the run, and every output cut short.
#include "platform/nkf/table_path.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using nkf::Encoding;

Bytes B(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

struct RunCase {
    const char* name;
    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
    Encoding from;
    Bytes head;  // before the run, and after it
    Bytes unit;  // the run's character
    Bytes tail;
    std::vector<Bytes> odd;  // each goes at every place of the run
};

constexpr std::size_t kRun = 20;

class TablePath : public testing::TestWithParam<RunCase> {};

TEST_P(TablePath, GivesWhatTheReferenceGivesInEveryRoom) {
    const RunCase& c = GetParam();
    for (std::size_t which = 0; which < c.odd.size(); ++which) {
        const Bytes& odd = c.odd[which];
        for (std::size_t at = 0; at <= kRun; ++at) {
            Bytes text = c.head;
            for (std::size_t k = 0; k < kRun; ++k) {
                if (k == at) text.insert(text.end(), odd.begin(), odd.end());
                text.insert(text.end(), c.unit.begin(), c.unit.end());
            }
            if (at == kRun) text.insert(text.end(), odd.begin(), odd.end());
            text.insert(text.end(), c.tail.begin(), c.tail.end());
            // Every character gives at most two bytes: the widest room holds all.
            for (std::size_t room = 0; room <= 2 * text.size(); ++room) {
                const std::string where = "odd " + std::to_string(which) + " at " +
                                          std::to_string(at) + " room " + std::to_string(room);
                Bytes reference(room, 0xEE);
                Bytes tables(room, 0xEE);
                const auto expected = nkf::detail::ConvertThroughIconv(reference, text, c.from);
                const auto actual = nkf::detail::ConvertWithTables(tables, text, c.from);
                ASSERT_EQ(actual.written, expected.written) << where;
                ASSERT_EQ(actual.complete, expected.complete) << where;
                ASSERT_TRUE(
                    std::equal(tables.begin(), tables.begin() + actual.written, reference.begin()))
                    << where;
                if (expected.complete) break;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, TablePath,
    testing::Values(
        RunCase{"Utf8",
                Encoding::kUtf8,
                B("<p>"),
                B("あ"),
                B("</p>"),
                {B("ｱ"),   // a character of one byte in Shift_JIS
                 B("丂"),  // none in Shift_JIS: "〓"
                 B("A"), B("©"), B("\U0001F600"), B("\U00050000"),  // one, two and four bytes
                 Bytes{0xE0, 0x80, 0x80},                           // overlong
                 Bytes{0xED, 0xA0, 0x80},                           // a surrogate
                 Bytes{0xE3, 0x81}, Bytes{0x80}, Bytes{0xFF}}},
        RunCase{"EucJp",
                Encoding::kEucJp,
                B("<p>"),
                Bytes{0xA4, 0xA2},
                B("</p>"),
                {Bytes{0x8E, 0xB1},        // half-width katakana
                 Bytes{0xA9, 0xA1},        // a cell with no character
                 Bytes{0x8F, 0xB0, 0xA1},  // JIS X 0212
                 B("A"), Bytes{0xFF}, Bytes{0xA4}, Bytes{0x8E, 0xE0}}},
        RunCase{"ShiftJis",
                Encoding::kShiftJis,
                B("<p>"),
                Bytes{0x82, 0xA0},
                B("</p>"),
                {Bytes{0xB1},        // half-width katakana
                 Bytes{0x85, 0x80},  // a pair with no character
                 Bytes{0x85, 0x40}, B("A"), Bytes{0x80}, Bytes{0xA0}, Bytes{0xFD}, Bytes{0x82}}},
        RunCase{"Iso2022Jp",
                Encoding::kIso2022Jp,
                B("\x1b$B"),
                B("$\""),
                B("\x1b(B"),
                {B("\n"), B(" "), B("\x1b(BA\x1b$B"), B("\x0e\x31\x0f"), B("\x1b(I1_`\x1b$B"),
                 B("\x1b$(Q"),                                   // JIS X 0213 from here on
                 B(")!"),                                        // a cell with no character
                 B("\x1b$(D0!\x1b$B"), B("\x1bZ"), Bytes{0x80},  // JIS X 0212, bad escape and byte
                 B("$")}},                                       // half a pair
        RunCase{"Iso2022JpAscii",
                Encoding::kIso2022Jp,
                {},
                B("a"),
                {},
                {B("\x0e\x31\x0f"), B("\x1b$B$\"\x1b(B"), B("\x1b(I1\x1b(B"), B("\x1bZ"),
                 Bytes{0x80}, Bytes{0x7F}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
