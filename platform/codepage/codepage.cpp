#include "platform/codepage/codepage.h"
#include "platform/codepage/iconv_handle.h"

#include <iconv.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

namespace codepage {
namespace {

// Table entries that are not characters: glibc's CP932 never decodes to these noncharacters.
constexpr char16_t kBad = 0xFFFF;
constexpr char16_t kLead = 0xFFFE;
constexpr std::uint16_t kMissing = 0xFFFF;

// Every lead byte has a row of 256 entries, kBad where the second byte is no trail byte.
constexpr std::size_t PairIndex(std::uint8_t lead, std::uint8_t trail) {
    return static_cast<std::size_t>(lead - 0x80) << 8 | trail;
}

struct Tables {
    std::array<char16_t, 0x100> single{};
    std::array<char16_t, 0x80 * 0x100> pair{};
    // CP932 code of each BMP character: below 0x100 one byte, else two; kMissing when none.
    std::array<std::uint16_t, 0x10000> encode{};
    // Every ASCII byte decodes to itself and encodes back to itself, as in glibc's CP932: the
    // loops may then take eight ASCII bytes at a time.
    bool asciiIsItself = false;
    // The length in bytes of each character decoded and encoded back, 0 for a lead byte and for
    // a pair that is no character.
    std::array<std::uint8_t, 0x100> singleLength{};
    std::array<std::uint8_t, 0x80 * 0x100> pairLength{};
};

bool AsciiIsItself(const Tables& tables) {
    for (char16_t c = 0; c < 0x80; ++c) {
        if (tables.single[c] != c || tables.encode[c] != c) return false;
    }
    return true;
}

// Converts one complete sequence; returns the number of output bytes, or 0 when iconv refuses it
// or leaves part of it unread.
std::size_t ConvertOne(iconv_t cd, const std::uint8_t* in, std::size_t inLength, std::uint8_t* out,
                       std::size_t outLength) {
    char* inPtr = reinterpret_cast<char*>(const_cast<std::uint8_t*>(in));
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t inLeft = inLength;
    std::size_t outLeft = outLength;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
        inLeft != 0) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        return 0;
    }
    return outLength - outLeft;
}

// Reads the sequence at `pos`: its character (kBad for a bad sequence) and its length in bytes.
// Returns length 0 for a lead byte at the end when the caller expects more input.
struct Sequence {
    char16_t unit;
    std::size_t length;
};

inline Sequence ReadSequence(const Tables& tables, std::span<const std::uint8_t> input,
                             std::size_t pos, bool final) {
    // The length follows from the bytes alone, never from a table lookup, so that the processor
    // can run ahead to the next character while the lookup is still under way.
    const std::uint8_t b = input[pos];
    if (!IsLeadByte(b)) return {tables.single[b], 1};
    if (pos + 1 == input.size()) return {kBad, final ? std::size_t{1} : std::size_t{0}};
    const std::uint8_t trail = input[pos + 1];
    const char16_t unit = tables.pair[PairIndex(b, trail)];
    if (unit != kBad) [[likely]]
        return {unit, 2};
    return {kBad, Cp932BadSequenceLength(input.subspan(pos))};
}

std::size_t CodeLength(std::uint16_t code) {
    return code == kMissing || code >= 0x100 ? 2 : 1;
}

void MeasureRoundTrips(Tables& tables) {
    for (unsigned b = 0; b < 0x100; ++b) {
        const char16_t unit = tables.single[b];
        if (unit == kLead) continue;
        tables.singleLength[b] =
            static_cast<std::uint8_t>(CodeLength(unit == kBad ? kMissing : tables.encode[unit]));
    }
    for (std::size_t k = 0; k < tables.pair.size(); ++k) {
        const char16_t unit = tables.pair[k];
        if (unit != kBad)
            tables.pairLength[k] = static_cast<std::uint8_t>(CodeLength(tables.encode[unit]));
    }
}

std::unique_ptr<const Tables> BuildTables() {
    auto tables = std::make_unique<Tables>();
    tables->single.fill(kBad);
    tables->pair.fill(kBad);
    tables->encode.fill(kMissing);

    IconvHandle decoder = OpenIconv("UTF-16LE", "CP932");
    IconvHandle encoder = OpenIconv("CP932", "UTF-16LE");
    if (!decoder || !encoder) {
        // Without glibc's converter modules only ASCII is known; everything else shows as
        // replacements, which keeps the text visible rather than failing.
        for (char16_t c = 0; c < 0x80; ++c) {
            tables->single[c] = c;
            tables->encode[c] = c;
        }
        tables->asciiIsItself = AsciiIsItself(*tables);
        MeasureRoundTrips(*tables);
        return tables;
    }

    std::uint8_t out[8];
    for (unsigned b = 0; b < 0x100; ++b) {
        const std::uint8_t in = static_cast<std::uint8_t>(b);
        if (IsLeadByte(in)) {
            tables->single[b] = kLead;
        } else if (ConvertOne(decoder.get(), &in, 1, out, sizeof out) == 2) {
            tables->single[b] = static_cast<char16_t>(out[0] | out[1] << 8);
        }
    }
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsLeadByte(static_cast<std::uint8_t>(lead))) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            const std::uint8_t in[2] = {static_cast<std::uint8_t>(lead),
                                        static_cast<std::uint8_t>(trail)};
            if (!IsTrailByte(in[1])) continue;
            if (ConvertOne(decoder.get(), in, 2, out, sizeof out) == 2) {
                tables->pair[PairIndex(in[0], in[1])] = static_cast<char16_t>(out[0] | out[1] << 8);
            }
        }
    }
    for (unsigned c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const std::uint8_t in[2] = {static_cast<std::uint8_t>(c & 0xFF),
                                    static_cast<std::uint8_t>(c >> 8)};
        switch (ConvertOne(encoder.get(), in, 2, out, sizeof out)) {
            case 1:
                tables->encode[c] = out[0];
                break;
            case 2:
                tables->encode[c] = static_cast<std::uint16_t>(out[0] << 8 | out[1]);
                break;
            default:
                break;
        }
    }
    tables->asciiIsItself = AsciiIsItself(*tables);
    MeasureRoundTrips(*tables);
    return tables;
}

const Tables& GetTables() {
    static const std::unique_ptr<const Tables> tables = BuildTables();
    return *tables;
}

}  // namespace

Progress Decode(std::span<const std::uint8_t> input, std::span<char16_t> output, bool final) {
    const Tables& tables = GetTables();
    const std::uint8_t* const in = input.data();
    const std::size_t inSize = input.size();
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < inSize && o < output.size()) {
#if defined(__SSE2__)
        if (tables.asciiIsItself && inSize - i >= 16 && output.size() - o >= 16) {
            // Sixteen at a time, widened to UTF-16 in two stores.
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            if (_mm_movemask_epi8(bytes) == 0) {
                const __m128i zero = _mm_setzero_si128();
                auto* out = reinterpret_cast<__m128i*>(output.data() + o);
                _mm_storeu_si128(out, _mm_unpacklo_epi8(bytes, zero));
                _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(bytes, zero));
                i += 16;
                o += 16;
                continue;
            }
        }
#endif
        if (tables.asciiIsItself && inSize - i >= 8 && output.size() - o >= 8 &&
            !AnyHighBit(in + i)) {
            // Markup is mostly ASCII, which decodes to itself: eight bytes at a time.
            for (std::size_t k = 0; k < 8; ++k) output[o + k] = in[i + k];
            i += 8;
            o += 8;
            continue;
        }
        // Kanji and kana come in runs of two-byte characters: a tight loop while they last.
        while (i + 1 < inSize && o < output.size() && IsLeadByte(in[i])) {
            const char16_t unit = tables.pair[PairIndex(in[i], in[i + 1])];
            if (unit == kBad) break;
            output[o++] = unit;
            i += 2;
        }
        if (i == inSize || o == output.size()) break;
        const Sequence seq = ReadSequence(tables, input, i, final);
        if (seq.length == 0) break;
        output[o++] = seq.unit == kBad ? kDecodeReplacement : seq.unit;
        i += seq.length;
    }
    return {i, o};
}

std::u16string DecodeAll(std::span<const std::uint8_t> input) {
    std::u16string text(input.size(), u'\0');
    const Progress progress = Decode(input, text, true);
    text.resize(progress.written);
    return text;
}

std::size_t DecodedLength(std::span<const std::uint8_t> input) {
    const Tables& tables = GetTables();
    const std::uint8_t* const in = input.data();
    const std::size_t inSize = input.size();
    std::size_t length = 0;
    std::size_t i = 0;
    while (i < inSize) {
        if (inSize - i >= 8 && !AnyHighBit(in + i)) {
            // Markup: eight characters of one byte each.
            length += 8;
            i += 8;
            continue;
        }
        // Kanji and kana come in runs of two-byte characters.
        while (inSize - i >= 2 && IsLeadByte(in[i]) &&
               tables.pair[PairIndex(in[i], in[i + 1])] != kBad) {
            ++length;
            i += 2;
        }
        if (i == inSize) break;
        ++length;
        i += ReadSequence(tables, input, i, true).length;
    }
    return length;
}

namespace {

// The CP932 code for the character at `pos` (kMissing when CP932 lacks it) and the number of
// UTF-16 units it takes; 0 units for a high surrogate at the end when more input may follow.
struct Character {
    std::uint16_t code;
    std::size_t units;
};

inline Character ReadCharacter(const Tables& tables, std::span<const char16_t> input,
                               std::size_t pos, bool final) {
    const char16_t c = input[pos];
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (pos + 1 == input.size()) return {kMissing, final ? std::size_t{1} : std::size_t{0}};
        const char16_t next = input[pos + 1];
        return {kMissing, next >= 0xDC00 && next <= 0xDFFF ? std::size_t{2} : std::size_t{1}};
    }
    return {tables.encode[c], 1};
}

}  // namespace

Progress Encode(std::span<const char16_t> input, std::span<std::uint8_t> output, bool final) {
    const Tables& tables = GetTables();
    Progress progress;
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < input.size()) {
        const Character ch = ReadCharacter(tables, input, i, final);
        if (ch.units == 0) break;
        const std::size_t length = CodeLength(ch.code);
        if (output.size() - o < length) break;
        if (ch.code == kMissing) {
            output[o] = kEncodeReplacement[0];
            output[o + 1] = kEncodeReplacement[1];
        } else if (length == 1) {
            output[o] = static_cast<std::uint8_t>(ch.code);
        } else {
            output[o] = static_cast<std::uint8_t>(ch.code >> 8);
            output[o + 1] = static_cast<std::uint8_t>(ch.code & 0xFF);
        }
        o += length;
        i += ch.units;
    }
    progress.read = i;
    progress.written = o;
    return progress;
}

std::vector<std::uint8_t> EncodeAll(std::span<const char16_t> input) {
    std::vector<std::uint8_t> bytes(EncodedLength(input));
    Encode(input, bytes, true);
    return bytes;
}

std::size_t EncodedLength(std::span<const char16_t> input) {
    const Tables& tables = GetTables();
    std::size_t length = 0;
    for (std::size_t i = 0; i < input.size();) {
        const char16_t c = input[i];
        if (c >= 0xD800 && c <= 0xDFFF) [[unlikely]] {
            // Surrogates are rare: keep them off the path that steps one unit at a time.
            const Character ch = ReadCharacter(tables, input, i, true);
            length += CodeLength(ch.code);
            i += ch.units;
            continue;
        }
        length += CodeLength(tables.encode[c]);
        ++i;
    }
    return length;
}

namespace {

std::size_t RoundTripLengthInOneGo(std::span<const std::uint8_t> input) noexcept {
    const Tables& tables = GetTables();
    const std::uint8_t* const in = input.data();
    const std::size_t inSize = input.size();
    std::size_t length = 0;
    std::size_t i = 0;
    while (inSize - i >= 2) {
        const std::uint8_t b = in[i];
        if (b < 0x80) {
            if (tables.asciiIsItself && inSize - i >= 8 && !AnyHighBit(in + i)) {
                // ASCII decodes to itself and encodes back to one byte.
                length += 8;
                i += 8;
            } else {
                length += tables.singleLength[b];
                i += 1;
            }
            continue;
        }
        // Kana and kanji mixed, as EUC-JP read as Shift_JIS is: without a branch on which is
        // which, since that is a guess the processor would miss half the time.
        const bool lead = IsLeadByte(b);
        const std::uint8_t pairLength = tables.pairLength[PairIndex(b | 0x80, in[i + 1])];
        if (lead && pairLength == 0) {
            // A bad sequence, which encodes back as the replacement.
            length += CodeLength(kMissing);
            i += Cp932BadSequenceLength(input.subspan(i));
            continue;
        }
        length += lead ? pairLength : tables.singleLength[b];
        i += lead ? 2 : 1;
    }
    if (i < inSize) {
        // The last byte alone: a lead byte there is a bad sequence.
        const std::uint8_t b = in[i];
        length += IsLeadByte(b) ? CodeLength(kMissing) : tables.singleLength[b];
    }
    return length;
}

// A page this long is measured in two halves at once; below it, a second thread costs more than
// it saves.
constexpr std::size_t kHalvesFrom = std::size_t{1} << 20;
// How far past the middle the halves' border may go, looking for a byte that stands alone.
constexpr std::size_t kBorderSearch = std::size_t{1} << 16;

}  // namespace

std::size_t RoundTripLength(std::span<const std::uint8_t> input) {
    // Built here, before a second thread reads them, so that a failure to build them is this
    // call's to report.
    static_cast<void>(GetTables());
    if (input.size() < kHalvesFrom) return RoundTripLengthInOneGo(input);
    // Reading is in step right after a byte that is a sequence of its own, whatever came before
    // it: two halves bordering there add up to the whole.
    std::size_t border = input.size() / 2;
    const std::size_t limit = std::min(input.size(), border + kBorderSearch);
    while (border < limit && !IsCp932SequenceOfItsOwn(input[border - 1])) ++border;
    if (border == limit) return RoundTripLengthInOneGo(input);
    std::size_t first = 0;
    try {
        std::thread thdFirst([&] { first = RoundTripLengthInOneGo(input.first(border)); });
        const std::size_t second = RoundTripLengthInOneGo(input.subspan(border));
        thdFirst.join();
        return first + second;
    } catch (const std::system_error&) {
        // No thread to be had: one after the other, then.
        return RoundTripLengthInOneGo(input);
    }
}

bool DecodesCleanly(std::span<const std::uint8_t> input) {
    const Tables& tables = GetTables();
    const std::uint8_t* const in = input.data();
    const std::size_t inSize = input.size();
    std::size_t i = 0;
    while (i < inSize) {
        if (tables.asciiIsItself && inSize - i >= 8 && !AnyHighBit(in + i)) {
            i += 8;
            continue;
        }
        // Kanji and kana come in runs of two-byte characters.
        while (inSize - i >= 2 && IsLeadByte(in[i]) &&
               tables.pair[PairIndex(in[i], in[i + 1])] != kBad) {
            i += 2;
        }
        if (i == inSize) break;
        const std::uint8_t b = in[i];
        if (IsLeadByte(b)) {
            if (i + 1 == inSize || tables.pair[PairIndex(b, in[i + 1])] == kBad) return false;
            i += 2;
        } else {
            if (tables.single[b] == kBad) return false;
            i += 1;
        }
    }
    return true;
}

}  // namespace codepage
