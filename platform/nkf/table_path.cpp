#include "platform/nkf/table_path.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/codepage/byte_rules.h"
#include "platform/codepage/codepage.h"
#include "platform/nkf/iso2022jp_reader.h"

namespace nkf::detail {
namespace {

// A CP932 code as the tables hold it: its bytes in the order they are written, the first in the
// low eight bits and the second, if any, in the high eight (a second byte is never zero), so that
// writing a character is storing both and stepping one or two. No CP932 character is FF FF, so
// that marks a sequence the tables have no character for.
constexpr std::uint16_t kNoCode = 0xFFFF;
// What a bad sequence becomes, as in the reference: "〓", 81 AC.
constexpr std::uint16_t kGetaCode = 0xAC81;
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
            codes.push_back(static_cast<std::uint16_t>(output[i] | output[i + 1] << 8));
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
    // Every ASCII byte converts to itself, so that several can be copied at once.
    bool asciiSame = false;
    std::array<std::uint16_t, 0x100> single{};  // kNoCode for the lead bytes
    // By PairIndex; kNoCode for a bad pair, and for every pair whose first byte leads none.
    std::vector<std::uint16_t> pair;
    static constexpr std::size_t PairIndex(std::uint8_t lead, std::uint8_t trail) {
        return static_cast<std::size_t>(lead) << 8 | trail;
    }
};

struct EucJpTables {
    bool asciiSame = false;
    std::array<std::uint16_t, 0x80> ascii{};
    std::array<std::uint16_t, 0x3F> katakana{};  // 0x8E and A1-DF
    // The two-byte characters by both bytes (b1 << 8 | b2), kNoCode where they are none: JIS X
    // 0208 with rows 89-92 as the NEC-selected IBM characters, and as EUC-JP-MS reads them; and
    // half-width katakana, 8E and a katakana byte.
    std::vector<std::uint16_t> necPairs;
    std::vector<std::uint16_t> plainPairs;
    std::vector<std::uint16_t> supplementary;  // 0x8F and JIS X 0212
};

struct Utf8Tables {
    bool asciiSame = false;
    std::vector<std::uint16_t> bmp;  // by code point; U+D800-DFFF never looked up
    std::uint16_t astral = kNoCode;
};

// Whether every ASCII byte converts to itself.
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
    tables->pair.assign(0x10000, kNoCode);
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
    tables->asciiSame = AsciiIsItself(tables->single);
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
    for (unsigned b = 0xA1; b <= 0xDF; ++b) {
        tables->necPairs[0x8E00 | b] = tables->katakana[b - 0xA1];
        tables->plainPairs[0x8E00 | b] = tables->katakana[b - 0xA1];
    }
    tables->asciiSame = AsciiIsItself(tables->ascii);
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
    tables->asciiSame = AsciiIsItself(tables->bmp);
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
        p[0] = static_cast<std::uint8_t>(code & 0xFF);
        p[1] = static_cast<std::uint8_t>(code >> 8);
        p += 2;
    }
    return true;
}

// Writes a code at `p`, which has room for two bytes: both are stored, but `p` moves past the
// second only for a two-byte code, so a character of one byte costs no branch. The byte stored
// past a one-byte code is where the next one, or the terminator, goes.
inline void PutInRoom(std::uint8_t*& p, std::uint16_t code) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &code, 2);
    } else {
        p[0] = static_cast<std::uint8_t>(code & 0xFF);
        p[1] = static_cast<std::uint8_t>(code >> 8);
    }
    p += 1 + static_cast<std::size_t>(code > 0xFF);
}

// Where a loop over characters must stop, from `s` in a text that ends at `textEnd` and with the
// output at `p` before `end`, so that it tests neither: a step that starts before it has `reach`
// bytes of text to read and `room` bytes of room to write, as long as no step writes more bytes
// than it reads (which is so for the characters the loops take, not for a bad sequence).
inline const std::uint8_t* SafeEnd(const std::uint8_t* s, const std::uint8_t* textEnd,
                                   std::size_t reach, const std::uint8_t* p,
                                   const std::uint8_t* end, std::size_t room = 2) {
    const std::size_t left = static_cast<std::size_t>(textEnd - s);
    const std::size_t free = static_cast<std::size_t>(end - p);
    return s + std::min(left < reach ? 0 : left - reach + 1, free < room ? 0 : free - room + 1);
}

#if defined(__SSE2__)
// Eight two-byte characters at once: if `pairs`, indexed by first byte << 8 | second, has a code
// of two bytes for each of the eight pairs at `s`, writes them at `p` (sixteen bytes of room) and
// returns true; otherwise writes nothing and returns false.
inline bool PutEightPairs(const std::uint8_t* s, std::uint8_t*& p, const std::uint16_t* pairs) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i index = _mm_or_si128(_mm_slli_epi16(bytes, 8), _mm_srli_epi16(bytes, 8));
    __m128i codes = _mm_cvtsi32_si128(pairs[_mm_extract_epi16(index, 0)]);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 1)], 1);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 2)], 2);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 3)], 3);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 4)], 4);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 5)], 5);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 6)], 6);
    codes = _mm_insert_epi16(codes, pairs[_mm_extract_epi16(index, 7)], 7);
    // No character (kNoCode), or a code of one byte (a zero second byte).
    const __m128i unfit =
        _mm_or_si128(_mm_cmpeq_epi16(codes, _mm_set1_epi16(-1)),
                     _mm_cmpeq_epi16(_mm_srli_epi16(codes, 8), _mm_setzero_si128()));
    if (_mm_movemask_epi8(unfit) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), codes);
    p += 16;
    return true;
}
#endif

// Copies eight ASCII bytes when `asciiSame` says they convert to themselves and they fit.
inline bool CopyAscii8(bool asciiSame, const std::uint8_t* in, std::size_t left, std::uint8_t*& p,
                       std::uint8_t* end) {
    if (!asciiSame || left < 8 || end - p < 8 || codepage::AnyHighBit(in)) return false;
    std::memcpy(p, in, 8);
    p += 8;
    return true;
}

// How a conversion ended: at the end of the text, at a bad sequence when it was told to stop
// there, or at a character that did not fit.
enum class Stop { kEnd, kBadSequence, kFull };

void ConvertShiftJis(const ShiftJisTables& tables, std::span<const std::uint8_t> in,
                     Writer& writer) {
    const bool asciiSame = tables.asciiSame;
    const std::uint16_t* const pairs = tables.pair.data();
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
        // Kanji and kana come in runs of two-byte characters, with some half-width katakana
        // among them.
        const std::uint8_t* s = data + i;
        const std::uint8_t* const last = SafeEnd(s, data + size, 2, p, end);
#if defined(__SSE2__)
        const std::uint8_t* const lastBlock = SafeEnd(s, data + size, 16, p, end, 16);
        const std::uint8_t* nextBlock = s;
#endif
        while (s < last) {
#if defined(__SSE2__)
            if (s >= nextBlock && s < lastBlock) {
                if (PutEightPairs(s, p, pairs)) {
                    s += 16;
                    continue;
                }
                // Not a block: its pairs one at a time before the next try.
                nextBlock = s + 16;
            }
#endif
            if (!codepage::IsLeadByte(s[0])) {
                // No character, or one that would write more than it reads, ends the run.
                const std::uint16_t code = tables.single[s[0]];
                if (code > 0xFF) break;
                *p++ = static_cast<std::uint8_t>(code);
                ++s;
                continue;
            }
            const std::uint16_t code = pairs[ShiftJisTables::PairIndex(s[0], s[1])];
            if (code == kNoCode) break;
            PutInRoom(p, code);
            s += 2;
        }
        i = static_cast<std::size_t>(s - data);
        if (i == size) break;
        const std::uint8_t b = data[i];
        std::uint16_t code = kNoCode;
        std::size_t length = 1;
        if (!codepage::IsLeadByte(b)) {
            code = tables.single[b];
        } else if (i + 1 < size) {
            code = pairs[ShiftJisTables::PairIndex(b, data[i + 1])];
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

// With `stopAtBad`, the conversion ends at the first sequence that is not well-formed instead of
// writing "〓" for it: the text is then not EUC-JP, and what was written is no conversion of it.
// A well-formed sequence without a character is "〓" either way.
template <bool stopAtBad>
Stop ConvertEucJp(const EucJpTables& tables, std::span<const std::uint8_t> in, bool necRows,
                  Writer& writer) {
    const bool asciiSame = tables.asciiSame;
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
        const std::uint8_t* s = data + i;
        const std::uint8_t* const last = SafeEnd(s, data + size, 2, p, end);
#if defined(__SSE2__)
        const std::uint8_t* const lastBlock = SafeEnd(s, data + size, 16, p, end, 16);
        const std::uint8_t* nextBlock = s;
#endif
        while (s < last) {
#if defined(__SSE2__)
            if (s >= nextBlock && s < lastBlock) {
                if (PutEightPairs(s, p, pairs)) {
                    s += 16;
                    continue;
                }
                // Not a block: its pairs one at a time before the next try.
                nextBlock = s + 16;
            }
#endif
            if (s[0] < 0x80) {
                if (!asciiSame) break;
                *p++ = *s++;
                continue;
            }
            const std::uint16_t code = pairs[s[0] << 8 | s[1]];
            if (code == kNoCode) break;
            PutInRoom(p, code);
            s += 2;
        }
        i = static_cast<std::size_t>(s - data);
        if (i == size) break;
        const std::span<const std::uint8_t> rest = in.subspan(i);
        const std::size_t length = codepage::EucJpSequenceLength(rest);
        std::uint16_t code = kNoCode;
        if (length == 1) {
            code = tables.ascii[rest[0]];
        } else if (length == 2) {
            code = pairs[rest[0] << 8 | rest[1]];
        } else if (length == 3) {
            code = tables.supplementary[CellIndex(rest[1], rest[2])];
        } else if constexpr (stopAtBad) {
            writer.Finish(p);
            return Stop::kBadSequence;
        }
        if (code != kNoCode) {
            if (!Put(p, end, code)) {
                writer.Finish(p, true);
                return Stop::kFull;
            }
            i += length;
            continue;
        }
        if (!Put(p, end, kGetaCode)) {
            writer.Finish(p, true);
            return Stop::kFull;
        }
        i += codepage::EucJpBadSequenceLength(rest);
    }
    writer.Finish(p);
    return Stop::kEnd;
}

// ISO-2022-JP as Iso2022JpReader re-reads it, but with its common stretches (switches of set,
// kanji pairs, ASCII and half-width katakana) converted straight from the text; anything else is
// read the reader's plain way, one character at a time. JIS bytes are EUC-JP's with the top bit
// clear.
void ConvertIso2022Jp(const EucJpTables& tables, std::span<const std::uint8_t> text,
                      Writer& writer) {
    Iso2022JpReader reader(text);
    // Room for one character the plain way: Read takes no more once less than three bytes are
    // left.
    std::array<std::uint8_t, 3> unit;
    while (!reader.Done() && !writer.Full()) {
        std::uint8_t* p = writer.Position();
        std::uint8_t* const end = writer.End();
        reader.TakeSwitches();
        // Looked up by the JIS bytes: the entries of EUC-JP's A1-FE pairs are 8080 further on.
        const std::uint16_t* const pairs =
            (reader.ExtensionRowsAreNecSelected() ? tables.necPairs.data()
                                                  : tables.plainPairs.data()) +
            0x8080;
        const std::span<const std::uint8_t> kanji =
            reader.TakeKanjiPairs(static_cast<std::size_t>(end - p) / 2);
#if defined(__SSE2__)
        std::size_t nextBlock = 0;
#endif
        for (std::size_t k = 0; k < kanji.size();) {
#if defined(__SSE2__)
            if (k >= nextBlock && kanji.size() - k >= 16) {
                if (PutEightPairs(kanji.data() + k, p, pairs)) {
                    k += 16;
                    continue;
                }
                nextBlock = k + 16;
            }
#endif
            const std::uint16_t code = pairs[kanji[k] << 8 | kanji[k + 1]];
            PutInRoom(p, code == kNoCode ? kGetaCode : code);
            k += 2;
        }
        if (tables.asciiSame) {
            const std::span<const std::uint8_t> asIs =
                reader.TakeAsIs(static_cast<std::size_t>(end - p));
            if (!asIs.empty()) std::memcpy(p, asIs.data(), asIs.size());
            p += asIs.size();
        }
        for (const std::uint8_t b : reader.TakeKatakana(static_cast<std::size_t>(end - p) / 2)) {
            PutInRoom(p, tables.katakana[b - 0x21]);
        }
        const bool took = p != writer.Position();
        writer.Finish(p);
        if (took || reader.Done()) continue;
        const std::size_t length = reader.Read(unit);
        ConvertEucJp<false>(tables, std::span(unit).first(length),
                            reader.ExtensionRowsAreNecSelected(), writer);
    }
}

struct Utf8Outcome {
    Stop stop = Stop::kEnd;
    bool nonAscii = false;  // some character of the text converted was not ASCII
};

// The four bytes at `s` in the order they come, the first in the low eight bits.
inline std::uint32_t LoadWord(const std::uint8_t* s) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t word;
        std::memcpy(&word, s, sizeof word);
        return word;
    }
    return std::uint32_t{s[0]} | std::uint32_t{s[1]} << 8 | std::uint32_t{s[2]} << 16 |
           std::uint32_t{s[3]} << 24;
}

#if defined(__SSE2__)
// Four three-byte sequences at once: if the twelve bytes at `s` (sixteen there to read) are four
// well-formed three-byte sequences whose codes are all two bytes long, writes the codes at `p`
// (eight bytes of room) and returns true; otherwise writes nothing and returns false. The test is
// Utf8ThreeByteCodePoint's, done on four words in one register.
inline bool PutFourThreeByte(const std::uint8_t* s, std::uint8_t*& p, const std::uint16_t* bmp) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    // The words at 0, 3, 6 and 9 side by side.
    const __m128i words =
        _mm_unpacklo_epi64(_mm_unpacklo_epi32(bytes, _mm_srli_si128(bytes, 3)),
                           _mm_unpacklo_epi32(_mm_srli_si128(bytes, 6), _mm_srli_si128(bytes, 9)));
    const __m128i marked =
        _mm_cmpeq_epi32(_mm_and_si128(words, _mm_set1_epi32(0xC0C0F0)), _mm_set1_epi32(0x8080E0));
    const __m128i c =
        _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(words, _mm_set1_epi32(0x0F)), 12),
                                  _mm_and_si128(_mm_srli_epi32(words, 2), _mm_set1_epi32(0xFC0))),
                     _mm_and_si128(_mm_srli_epi32(words, 16), _mm_set1_epi32(0x3F)));
    const __m128i unfit = _mm_or_si128(
        _mm_cmplt_epi32(c, _mm_set1_epi32(0x800)),
        _mm_cmpeq_epi32(_mm_and_si128(c, _mm_set1_epi32(0xF800)), _mm_set1_epi32(0xD800)));
    if (_mm_movemask_epi8(_mm_andnot_si128(unfit, marked)) != 0xFFFF) return false;
    // Each code point fits in the low half of its word.
    __m128i codes = _mm_cvtsi32_si128(bmp[_mm_extract_epi16(c, 0)]);
    codes = _mm_insert_epi16(codes, bmp[_mm_extract_epi16(c, 2)], 1);
    codes = _mm_insert_epi16(codes, bmp[_mm_extract_epi16(c, 4)], 2);
    codes = _mm_insert_epi16(codes, bmp[_mm_extract_epi16(c, 6)], 3);
    // A code of one byte has a zero second byte.
    const __m128i oneByte = _mm_cmpeq_epi16(_mm_srli_epi16(codes, 8), _mm_setzero_si128());
    if ((_mm_movemask_epi8(oneByte) & 0xFF) != 0) return false;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), codes);
    p += 8;
    return true;
}
#endif

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
    const bool asciiSame = tables.asciiSame;
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
        // Japanese text: runs of well-formed sequences of two to four bytes, most of them three,
        // with some ASCII among them. Four bytes are read at a time.
        for (;;) {
            const std::uint8_t* s = data + i;
            const std::uint8_t* const last = SafeEnd(s, data + size, 4, p, end);
            if (s == last) break;
#if defined(__SSE2__)
            const std::uint8_t* const lastBlock = SafeEnd(s, data + size, 16, p, end, 8);
            const std::uint8_t* nextBlock = s;
#endif
            while (s < last) {
                const std::uint32_t word = LoadWord(s);
                if ((word & 0x80) == 0 && asciiSame) {
                    *p++ = *s++;
                    continue;
                }
#if defined(__SSE2__)
                if (s >= nextBlock && s < lastBlock) {
                    if (PutFourThreeByte(s, p, bmp)) {
                        nonAscii = true;
                        s += 12;
                        continue;
                    }
                    nextBlock = s + 12;
                }
#endif
                const char32_t c = codepage::Utf8ThreeByteCodePoint(word);
                if (c == 0) break;
                PutInRoom(p, bmp[c]);
                nonAscii = true;
                s += 3;
            }
            i = static_cast<std::size_t>(s - data);
            if (s >= last) continue;
            const std::size_t length = SequenceLength(s);
            if (length < 2) break;
            PutInRoom(p, Utf8Code(tables, s, length));
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
                return {Stop::kFull, nonAscii};
            }
            i += length;
            continue;
        }
        if constexpr (stopAtBad) {
            writer.Finish(p);
            return {Stop::kBadSequence, nonAscii};
        }
        if (!Put(p, end, kGetaCode)) {
            writer.Finish(p, true);
            return {Stop::kFull, nonAscii};
        }
        i += codepage::Utf8BadSequenceLength(rest);
    }
    writer.Finish(p);
    return {Stop::kEnd, nonAscii};
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
            ConvertEucJp<false>(*GetEucJpTables(), text, true, writer);
            break;
        case Encoding::kIso2022Jp:
            ConvertIso2022Jp(*GetEucJpTables(), text, writer);
            break;
        case Encoding::kUtf8:
            ConvertUtf8<false>(*GetUtf8Tables(), text, writer);
            break;
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            break;
    }
    return {writer.Written(), !writer.Full()};
}

Attempt ConvertIfUtf8(std::span<std::uint8_t> output, std::span<const std::uint8_t> text) {
    const Utf8Tables* tables = GetUtf8Tables();
    if (tables == nullptr) return {0, Answer::kUnknown};
    Writer writer(output);
    const Utf8Outcome outcome = ConvertUtf8<true>(*tables, text, writer);
    switch (outcome.stop) {
        case Stop::kEnd:
            return {writer.Written(), outcome.nonAscii ? Answer::kYes : Answer::kNo};
        case Stop::kBadSequence:
            return {writer.Written(), Answer::kNo};
        case Stop::kFull:
            break;
    }
    return {writer.Written(), Answer::kUnknown};
}

Attempt ConvertIfEucJp(std::span<std::uint8_t> output, std::span<const std::uint8_t> text) {
    const EucJpTables* tables = GetEucJpTables();
    if (tables == nullptr) return {0, Answer::kUnknown};
    Writer writer(output);
    switch (ConvertEucJp<true>(*tables, text, true, writer)) {
        case Stop::kEnd:
            return {writer.Written(), Answer::kYes};
        case Stop::kBadSequence:
            return {writer.Written(), Answer::kNo};
        case Stop::kFull:
            break;
    }
    return {writer.Written(), Answer::kUnknown};
}

}  // namespace nkf::detail
