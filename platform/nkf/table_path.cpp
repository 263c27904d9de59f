#include "platform/nkf/table_path.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/codepage/byte_rules.h"
#include "platform/codepage/codepage.h"
#include "platform/nkf/iso2022jp_reader.h"

namespace nkf::detail {
namespace {

// A CP932 code as the tables hold it: below 0x100 one byte, else two. No CP932 character is
// FFFF, so that marks a sequence the tables have no character for.
constexpr std::uint16_t kNoCode = 0xFFFF;
// What a bad sequence becomes, as in the reference: "〓".
constexpr std::uint16_t kGetaCode = 0x81AC;
constexpr std::size_t kCells = 94 * 94;

constexpr std::size_t CellIndex(std::uint8_t row, std::uint8_t cell) {
    return static_cast<std::size_t>(row - 0xA1) * 94 + (cell - 0xA1);
}

// What the reference makes of `joined`, `count` sequences one after another, as one code each;
// empty when it does not give exactly one character for each sequence.
std::vector<std::uint16_t> ReferenceCodes(Encoding from, std::span<const std::uint8_t> joined,
                                          std::size_t count) {
    std::vector<std::uint8_t> output(2 * count + 16);
    const PathResult result = ConvertThroughIconv(output, joined, from);
    if (!result.complete) return {};
    std::vector<std::uint16_t> codes;
    codes.reserve(count);
    for (std::size_t i = 0; i < result.written;) {
        if (codepage::IsLeadByte(output[i]) && i + 1 < result.written) {
            codes.push_back(static_cast<std::uint16_t>(output[i] << 8 | output[i + 1]));
            i += 2;
        } else {
            codes.push_back(output[i]);
            i += 1;
        }
    }
    if (codes.size() != count) return {};
    return codes;
}

struct ShiftJisTables {
    std::array<std::uint16_t, 0x100> single{};  // kNoCode for the lead bytes
    std::vector<std::uint16_t> pair;            // by PairIndex; kNoCode for a bad pair
    static constexpr std::size_t PairIndex(std::uint8_t lead, std::uint8_t trail) {
        return static_cast<std::size_t>(lead - 0x80) << 8 | trail;
    }
};

struct EucJpTables {
    std::array<std::uint16_t, 0x80> ascii{};
    std::array<std::uint16_t, 0x3F> katakana{};  // 0x8E and A1-DF
    // JIS X 0208 by both bytes (b1 << 8 | b2), kNoCode where they are not a pair: rows 89-92 as
    // the NEC-selected IBM characters, and as EUC-JP-MS reads them.
    std::vector<std::uint16_t> necPairs;
    std::vector<std::uint16_t> plainPairs;
    std::vector<std::uint16_t> supplementary;  // 0x8F and JIS X 0212
};

struct Utf8Tables {
    std::vector<std::uint16_t> bmp;  // by code point; U+D800-DFFF never looked up
    std::uint16_t astral = kNoCode;
};

// Whether every ASCII byte converts to itself, so that eight can be copied at a time.
template <typename Table>
bool AsciiIsItself(const Table& table) {
    for (std::uint16_t b = 0; b < 0x80; ++b) {
        if (table[b] != b) return false;
    }
    return true;
}

std::unique_ptr<const ShiftJisTables> BuildShiftJisTables() {
    auto tables = std::make_unique<ShiftJisTables>();
    std::vector<std::uint8_t> joined;
    std::vector<std::size_t> where;  // the table entry of each sequence in `joined`
    for (unsigned b = 0; b < 0x100; ++b) {
        if (codepage::IsLeadByte(static_cast<std::uint8_t>(b))) continue;
        joined.push_back(static_cast<std::uint8_t>(b));
        where.push_back(b);
    }
    const std::size_t singles = where.size();
    tables->pair.assign(0x80 * 0x100, kNoCode);
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            const std::uint8_t pair[2] = {static_cast<std::uint8_t>(lead),
                                          static_cast<std::uint8_t>(trail)};
            if (!codepage::IsLeadByte(pair[0]) || !codepage::IsTrailByte(pair[1])) continue;
            // Only the pairs that are characters: a bad one is left to the reference.
            if (!codepage::DecodesCleanly(pair)) continue;
            joined.insert(joined.end(), pair, pair + 2);
            where.push_back(ShiftJisTables::PairIndex(pair[0], pair[1]));
        }
    }
    const std::vector<std::uint16_t> codes =
        ReferenceCodes(Encoding::kShiftJis, joined, where.size());
    if (codes.empty()) return nullptr;
    tables->single.fill(kNoCode);
    for (std::size_t k = 0; k < where.size(); ++k) {
        if (k < singles) {
            tables->single[where[k]] = codes[k];
        } else {
            tables->pair[where[k]] = codes[k];
        }
    }
    return tables;
}

// Every cell of a 94 x 94 set: as EUC-JP bytes (with `prefix` before each) or as JIS bytes.
std::vector<std::uint8_t> AllCells(std::span<const std::uint8_t> prefix, std::uint8_t high) {
    std::vector<std::uint8_t> joined;
    for (unsigned row = 0xA1; row <= 0xFE; ++row) {
        for (unsigned cell = 0xA1; cell <= 0xFE; ++cell) {
            joined.insert(joined.end(), prefix.begin(), prefix.end());
            joined.push_back(static_cast<std::uint8_t>((row & 0x7F) | high));
            joined.push_back(static_cast<std::uint8_t>((cell & 0x7F) | high));
        }
    }
    return joined;
}

std::unique_ptr<const EucJpTables> BuildEucJpTables() {
    auto tables = std::make_unique<EucJpTables>();
    std::vector<std::uint8_t> joined;
    for (unsigned b = 0; b < 0x80; ++b) joined.push_back(static_cast<std::uint8_t>(b));
    for (unsigned b = 0xA1; b <= 0xDF; ++b) {
        joined.push_back(0x8E);
        joined.push_back(static_cast<std::uint8_t>(b));
    }
    const std::vector<std::uint16_t> small =
        ReferenceCodes(Encoding::kEucJp, joined, tables->ascii.size() + tables->katakana.size());
    const std::vector<std::uint16_t> necRows =
        ReferenceCodes(Encoding::kEucJp, AllCells({}, 0x80), kCells);
    const std::uint8_t supplementary[] = {0x8F};
    tables->supplementary = ReferenceCodes(Encoding::kEucJp, AllCells(supplementary, 0x80), kCells);
    // JIS X 0213 designated in ISO-2022-JP: the one way the reference reads rows 89-92 plainly.
    std::vector<std::uint8_t> plain = {0x1B, '$', '(', 'Q'};
    const std::vector<std::uint8_t> cells = AllCells({}, 0);
    plain.insert(plain.end(), cells.begin(), cells.end());
    const std::vector<std::uint16_t> plainRows =
        ReferenceCodes(Encoding::kIso2022Jp, plain, kCells);
    if (small.empty() || necRows.empty() || tables->supplementary.empty() || plainRows.empty()) {
        return nullptr;
    }
    // Looked up by both bytes at once: the kanji loop then needs no test of either.
    tables->necPairs.assign(0x10000, kNoCode);
    tables->plainPairs.assign(0x10000, kNoCode);
    for (unsigned row = 0xA1; row <= 0xFE; ++row) {
        for (unsigned cell = 0xA1; cell <= 0xFE; ++cell) {
            const std::size_t k =
                CellIndex(static_cast<std::uint8_t>(row), static_cast<std::uint8_t>(cell));
            tables->necPairs[row << 8 | cell] = necRows[k];
            tables->plainPairs[row << 8 | cell] = plainRows[k];
        }
    }
    std::copy(small.begin(), small.begin() + 0x80, tables->ascii.begin());
    std::copy(small.begin() + 0x80, small.end(), tables->katakana.begin());
    return tables;
}

void AppendUtf8(std::vector<std::uint8_t>& bytes, char32_t c) {
    if (c < 0x80) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    } else if (c < 0x800) {
        bytes.push_back(static_cast<std::uint8_t>(0xC0 | c >> 6));
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        bytes.push_back(static_cast<std::uint8_t>(0xE0 | c >> 12));
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F)));
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else {
        bytes.push_back(static_cast<std::uint8_t>(0xF0 | c >> 18));
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (c >> 12 & 0x3F)));
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F)));
        bytes.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    }
}

std::unique_ptr<const Utf8Tables> BuildUtf8Tables() {
    auto tables = std::make_unique<Utf8Tables>();
    std::vector<std::uint8_t> joined;
    std::vector<char32_t> where;
    for (char32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        AppendUtf8(joined, c);
        where.push_back(c);
    }
    // Past the BMP CP932 has nothing; the reference's answer for the first and the last of them
    // stands for all.
    for (char32_t c : {char32_t{0x10000}, char32_t{0x10FFFF}}) {
        AppendUtf8(joined, c);
        where.push_back(c);
    }
    const std::vector<std::uint16_t> codes = ReferenceCodes(Encoding::kUtf8, joined, where.size());
    if (codes.empty() || codes[codes.size() - 1] != codes[codes.size() - 2]) return nullptr;
    tables->bmp.assign(0x10000, kNoCode);
    for (std::size_t k = 0; k + 2 < where.size(); ++k) tables->bmp[where[k]] = codes[k];
    tables->astral = codes.back();
    return tables;
}

const ShiftJisTables* GetShiftJisTables() {
    static const std::unique_ptr<const ShiftJisTables> tables = BuildShiftJisTables();
    return tables.get();
}
const EucJpTables* GetEucJpTables() {
    static const std::unique_ptr<const EucJpTables> tables = BuildEucJpTables();
    return tables.get();
}
const Utf8Tables* GetUtf8Tables() {
    static const std::unique_ptr<const Utf8Tables> tables = BuildUtf8Tables();
    return tables.get();
}

// Where the loops below got to in the output. They keep their position in a register (a member
// would be read again after every byte stored, since a byte store may alias anything) and hand it
// back here when they stop.
class Writer {
public:
    explicit Writer(std::span<std::uint8_t> output) : output_(output), position_(output.data()) {}

    bool Full() const { return full_; }
    std::size_t Written() const { return static_cast<std::size_t>(position_ - output_.data()); }
    std::uint8_t* Position() const { return position_; }
    std::uint8_t* End() const { return output_.data() + output_.size(); }

    // Records where the loop got to, and whether the next character did not fit.
    void Finish(std::uint8_t* position, bool full = false) {
        position_ = position;
        full_ = full;
    }

private:
    std::span<std::uint8_t> output_;
    std::uint8_t* position_;
    bool full_ = false;
};

// Writes one code at `p`; false, writing nothing, when it does not fit before `end`.
inline bool Put(std::uint8_t*& p, std::uint8_t* end, std::uint16_t code) {
    if (code < 0x100) {
        if (p == end) return false;
        *p++ = static_cast<std::uint8_t>(code);
    } else {
        if (end - p < 2) return false;
        p[0] = static_cast<std::uint8_t>(code >> 8);
        p[1] = static_cast<std::uint8_t>(code & 0xFF);
        p += 2;
    }
    return true;
}

// Copies eight ASCII bytes when `asciiSame` says they convert to themselves and they fit.
inline bool CopyAscii8(bool asciiSame, const std::uint8_t* in, std::size_t left, std::uint8_t*& p,
                       std::uint8_t* end) {
    if (!asciiSame || left < 8 || end - p < 8 || codepage::AnyHighBit(in)) return false;
    std::memcpy(p, in, 8);
    p += 8;
    return true;
}

void ConvertShiftJis(const ShiftJisTables& tables, std::span<const std::uint8_t> in,
                     Writer& writer) {
    const bool asciiSame = AsciiIsItself(tables.single);
    const std::uint8_t* const data = in.data();
    const std::size_t size = in.size();
    std::uint8_t* p = writer.Position();
    std::uint8_t* const end = writer.End();
    std::size_t i = 0;
    while (i < size) {
        if (CopyAscii8(asciiSame, data + i, size - i, p, end)) {
            i += 8;
            continue;
        }
        // Kanji and kana come in runs of two-byte characters.
        while (size - i >= 2 && codepage::IsLeadByte(data[i])) {
            const std::uint16_t code = tables.pair[ShiftJisTables::PairIndex(data[i], data[i + 1])];
            if (code == kNoCode) break;
            if (!Put(p, end, code)) return writer.Finish(p, true);
            i += 2;
        }
        if (i == size) break;
        const std::uint8_t b = data[i];
        std::uint16_t code = kNoCode;
        std::size_t length = 1;
        if (!codepage::IsLeadByte(b)) {
            code = tables.single[b];
        } else if (i + 1 < size) {
            code = tables.pair[ShiftJisTables::PairIndex(b, data[i + 1])];
            length = 2;
        }
        if (code != kNoCode) {
            if (!Put(p, end, code)) return writer.Finish(p, true);
            i += length;
            continue;
        }
        if (!Put(p, end, kGetaCode)) return writer.Finish(p, true);
        i += codepage::Cp932BadSequenceLength(in.subspan(i));
    }
    writer.Finish(p);
}

void ConvertEucJp(const EucJpTables& tables, std::span<const std::uint8_t> in, bool necRows,
                  Writer& writer) {
    const bool asciiSame = AsciiIsItself(tables.ascii);
    const std::uint16_t* const pairs = necRows ? tables.necPairs.data() : tables.plainPairs.data();
    const std::uint8_t* const data = in.data();
    const std::size_t size = in.size();
    std::uint8_t* p = writer.Position();
    std::uint8_t* const end = writer.End();
    std::size_t i = 0;
    while (i < size) {
        if (CopyAscii8(asciiSame, data + i, size - i, p, end)) {
            i += 8;
            continue;
        }
        // Kanji and kana: runs of two-byte characters.
        while (size - i >= 2) {
            const std::uint16_t code = pairs[data[i] << 8 | data[i + 1]];
            if (code == kNoCode) break;
            if (!Put(p, end, code)) return writer.Finish(p, true);
            i += 2;
        }
        if (i == size) break;
        const std::span<const std::uint8_t> rest = in.subspan(i);
        const std::size_t length = codepage::EucJpSequenceLength(rest);
        std::uint16_t code = kNoCode;
        if (length == 1) {
            code = tables.ascii[rest[0]];
        } else if (length == 2) {
            code =
                rest[0] == 0x8E ? tables.katakana[rest[1] - 0xA1] : pairs[rest[0] << 8 | rest[1]];
        } else if (length == 3) {
            code = tables.supplementary[CellIndex(rest[1], rest[2])];
        }
        if (code != kNoCode) {
            if (!Put(p, end, code)) return writer.Finish(p, true);
            i += length;
            continue;
        }
        if (!Put(p, end, kGetaCode)) return writer.Finish(p, true);
        i += codepage::EucJpBadSequenceLength(rest);
    }
    writer.Finish(p);
}

// How a UTF-8 conversion ended: at the end of the text, at a bad sequence when it was told to stop
// there, or at a character that did not fit.
enum class Utf8Stop { kEnd, kBadSequence, kFull };

struct Utf8Outcome {
    Utf8Stop stop = Utf8Stop::kEnd;
    bool nonAscii = false;  // some character of the text converted was not ASCII
};

// Writes the CP932 code of a character at `p`, which has room for two bytes: both are stored,
// but `p` moves past the second only for a two-byte code, so a character of one byte costs no
// branch. The byte stored past a one-byte code is where the next one, or the terminator, goes.
inline void PutInRoom(std::uint8_t*& p, std::uint16_t code) {
    const bool twoBytes = code > 0xFF;
    p[0] = static_cast<std::uint8_t>(twoBytes ? code >> 8 : code);
    p[1] = static_cast<std::uint8_t>(code & 0xFF);
    p += 1 + static_cast<std::size_t>(twoBytes);
}

// The code of the well-formed sequence of `length` (2 to 4) bytes at `s`.
inline std::uint16_t Utf8Code(const Utf8Tables& tables, const std::uint8_t* s, std::size_t length) {
    if (length == 3) [[likely]]
        return tables.bmp[(s[0] & 0x0F) << 12 | (s[1] & 0x3F) << 6 | (s[2] & 0x3F)];
    if (length == 2) return tables.bmp[(s[0] & 0x1F) << 6 | (s[1] & 0x3F)];
    return tables.astral;
}

// With `stopAtBad`, the conversion ends at the first bad sequence instead of writing "〓" for it:
// the text is then not UTF-8, and what was written is no conversion of it.
template <bool stopAtBad>
Utf8Outcome ConvertUtf8(const Utf8Tables& tables, std::span<const std::uint8_t> in,
                        Writer& writer) {
    const bool asciiSame = AsciiIsItself(tables.bmp);
    const std::uint8_t* const data = in.data();
    const std::size_t size = in.size();
    std::uint8_t* p = writer.Position();
    std::uint8_t* const end = writer.End();
    const std::uint16_t* const bmp = tables.bmp.data();
    // Four bytes at `s` are there to read: the rule needs no test of how many are left.
    const auto SequenceLength = [](const std::uint8_t* s) {
        return codepage::Utf8SequenceLength(std::span<const std::uint8_t, 4>(s, 4));
    };
    bool nonAscii = false;
    std::size_t i = 0;
    while (i < size) {
        if (asciiSame && size - i >= 16 && end - p >= 16 && !codepage::AnyHighBit16(data + i)) {
            std::memcpy(p, data + i, 16);
            i += 16;
            p += 16;
            continue;
        }
        if (CopyAscii8(asciiSame, data + i, size - i, p, end)) {
            i += 8;
            continue;
        }
        // Japanese text: runs of well-formed sequences of two to four bytes, most of them three.
        // Four bytes of text and two of room make every step safe without a test of its own, and
        // stepping three bytes at a time while the sequences are three long keeps the next
        // position from waiting for the lookups of this one.
        for (;;) {
            while (size - i >= 4 && end - p >= 2 && SequenceLength(data + i) == 3) {
                PutInRoom(
                    p,
                    bmp[(data[i] & 0x0F) << 12 | (data[i + 1] & 0x3F) << 6 | (data[i + 2] & 0x3F)]);
                nonAscii = true;
                i += 3;
            }
            if (size - i < 4 || end - p < 2) break;
            const std::size_t length = SequenceLength(data + i);
            if (length < 2) break;
            PutInRoom(p, Utf8Code(tables, data + i, length));
            nonAscii = true;
            i += length;
        }
        if (i == size) break;
        const std::span<const std::uint8_t> rest = in.subspan(i);
        const std::size_t length = codepage::Utf8SequenceLength(rest);
        std::uint16_t code = kNoCode;
        if (length == 1) {
            code = tables.bmp[rest[0]];
        } else if (length > 1) {
            code = Utf8Code(tables, rest.data(), length);
            nonAscii = true;
        }
        if (code != kNoCode) {
            if (!Put(p, end, code)) {
                writer.Finish(p, true);
                return {Utf8Stop::kFull, nonAscii};
            }
            i += length;
            continue;
        }
        if constexpr (stopAtBad) {
            writer.Finish(p);
            return {Utf8Stop::kBadSequence, nonAscii};
        }
        if (!Put(p, end, kGetaCode)) {
            writer.Finish(p, true);
            return {Utf8Stop::kFull, nonAscii};
        }
        i += codepage::Utf8BadSequenceLength(rest);
    }
    writer.Finish(p);
    return {Utf8Stop::kEnd, nonAscii};
}

}  // namespace

bool HasTables(Encoding from) {
    switch (from) {
        case Encoding::kShiftJis:
            return GetShiftJisTables() != nullptr;
        case Encoding::kEucJp:
        case Encoding::kIso2022Jp:
            return GetEucJpTables() != nullptr;
        case Encoding::kUtf8:
            return GetUtf8Tables() != nullptr;
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            return false;
    }
    return false;
}

PathResult ConvertWithTables(std::span<std::uint8_t> output, std::span<const std::uint8_t> text,
                             Encoding from) {
    if (!HasTables(from)) return ConvertThroughIconv(output, text, from);
    Writer writer(output);
    switch (from) {
        case Encoding::kShiftJis:
            ConvertShiftJis(*GetShiftJisTables(), text, writer);
            break;
        case Encoding::kEucJp:
            ConvertEucJp(*GetEucJpTables(), text, true, writer);
            break;
        case Encoding::kIso2022Jp: {
            // The same pieces the reference reads, so that a bad stretch ends where it ends there.
            Iso2022JpReader reader(text);
            std::array<std::uint8_t, kIso2022JpPiece> eucJp;
            while (!reader.Done() && !writer.Full()) {
                const std::size_t length = reader.Read(eucJp);
                ConvertEucJp(*GetEucJpTables(), std::span(eucJp).first(length),
                             reader.ExtensionRowsAreNecSelected(), writer);
            }
            break;
        }
        case Encoding::kUtf8:
            ConvertUtf8<false>(*GetUtf8Tables(), text, writer);
            break;
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            break;
    }
    return {writer.Written(), !writer.Full()};
}

Utf8Attempt ConvertIfUtf8(std::span<std::uint8_t> output, std::span<const std::uint8_t> text) {
    const Utf8Tables* tables = GetUtf8Tables();
    if (tables == nullptr) return {0, Utf8Answer::kUnknown};
    Writer writer(output);
    const Utf8Outcome outcome = ConvertUtf8<true>(*tables, text, writer);
    switch (outcome.stop) {
        case Utf8Stop::kEnd:
            return {writer.Written(), outcome.nonAscii ? Utf8Answer::kUtf8 : Utf8Answer::kNotUtf8};
        case Utf8Stop::kBadSequence:
            return {writer.Written(), Utf8Answer::kNotUtf8};
        case Utf8Stop::kFull:
            break;
    }
    return {writer.Written(), Utf8Answer::kUnknown};
}

}  // namespace nkf::detail
