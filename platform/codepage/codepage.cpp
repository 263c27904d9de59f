#include "platform/codepage/codepage.h"
#include "platform/codepage/iconv_handle.h"

#include <iconv.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

namespace codepage {
namespace {

// Table entries that are not characters: glibc's CP932 never decodes to these noncharacters.
constexpr char16_t kBad = 0xFFFF;
constexpr std::uint16_t kMissing = 0xFFFF;

// Every sequence has a slot in the tables below: a byte that is a character of its own (or no
// character) at its own value, a lead and a trail after the 256 single bytes. Every lead byte has
// a row of 256 slots, kBad where the second byte is no trail byte.
constexpr std::size_t kPairSlots = 0x100;
constexpr std::size_t kSlots = kPairSlots + 0x80 * 0x100;
constexpr std::size_t PairSlot(std::uint8_t lead, std::uint8_t trail) {
    return kPairSlots + (static_cast<std::size_t>(lead - 0x80) << 8 | trail);
}

struct Tables {
    // The character of each slot; kBad for a single byte that is a lead byte or no character,
    // and for a pair that is no character.
    std::array<char16_t, kSlots> unit{};
    // CP932 code of each BMP character: below 0x100 one byte, else two; kMissing when none.
    std::array<std::uint16_t, 0x10000> encode{};
    // Every ASCII byte decodes to itself and encodes back to itself, as in glibc's CP932: the
    // walk may then take eight or sixteen ASCII bytes at a time.
    bool asciiIsItself = false;
    // The length in bytes of each slot's character decoded and encoded back, 0 where `unit` is
    // kBad.
    std::array<std::uint8_t, kSlots> roundTrip{};
    // Whether the byte classes ScanShape reads agree with the byte rules, so that it counts the
    // sequences the walk reads; and whether, besides, every character encodes back to as many
    // bytes as it came in and the bytes of their own that are no character are few (glibc's: 80,
    // A0, FD-FF), so that it also gives the round-trip length.
    bool shapeKnown = false;
    bool roundTripFollowsShape = false;
    // Which of those bytes are no character: 80, A0, and FD-FF together.
    bool bad80 = false;
    bool badA0 = false;
    bool badFdToFf = false;
};

bool AsciiIsItself(const Tables& tables) {
    for (char16_t c = 0; c < 0x80; ++c) {
        if (tables.unit[c] != c || tables.encode[c] != c) return false;
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

std::size_t CodeLength(std::uint16_t code) {
    return code == kMissing || code >= 0x100 ? 2 : 1;
}

void MeasureRoundTrips(Tables& tables) {
    for (std::size_t s = 0; s < kSlots; ++s) {
        const char16_t unit = tables.unit[s];
        if (unit != kBad)
            tables.roundTrip[s] = static_cast<std::uint8_t>(CodeLength(tables.encode[unit]));
    }
}

#if defined(__SSE2__)
// ---- Counting by the shape of the bytes ----
//
// How CP932 bytes divide into sequences follows from the byte classes alone, but where a lead is
// followed by an ASCII trail (40-7E), which pairs with it only when the two are a character. A run
// of lead bytes (each of them a trail as well) starts a sequence, since whatever sequence the byte
// before it is in ends there; the run then pairs off, and a run of odd length pairs its last byte
// with the byte after it, good or bad, when that is a trail that is not ASCII. Which bytes are the
// second of a pair is a matter of parity within the runs, which a carry through the run's bits
// finds for 64 bytes at once, as escaped characters are found in JSON.

// The bytes from `low` to `high`: shifted so that `low` is the least signed byte, the range is
// the bytes below one bound (SSE2 compares signed bytes only).
inline __m128i InRange(__m128i bytes, std::uint8_t low, std::uint8_t high) {
    const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - low)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x80 + (high - low) + 1)));
}

// IsLeadByte for sixteen bytes at once.
inline __m128i LeadBytes(__m128i bytes) {
    return _mm_or_si128(InRange(bytes, 0x81, 0x9F), InRange(bytes, 0xE0, 0xFC));
}

// The classes of 64 bytes, a bit each: lead bytes (81-9F, E0-FC), the other trails that are not
// ASCII (80, A0-DF), the ASCII trails (40-7E), and with kBadSingles the bytes of their own that
// are no character.
struct ByteClasses {
    std::uint64_t lead = 0;
    std::uint64_t highTrail = 0;
    std::uint64_t asciiTrail = 0;
    std::uint64_t badSingle = 0;
};

template <bool kBadSingles>
ByteClasses Classify(const Tables& tables, const std::uint8_t* p) {
    // Bytes of their own that are no character are among 80, A0 and FD-FF (MeasureShape sees to
    // it): each of the first two picked out when it is one, the last three by their top bit among
    // the bytes that are neither leads nor trails.
    const __m128i pick80 = _mm_set1_epi8(static_cast<char>(tables.bad80 ? 0xFF : 0));
    const __m128i pickA0 = _mm_set1_epi8(static_cast<char>(tables.badA0 ? 0xFF : 0));
    ByteClasses classes;
    std::uint64_t high = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const auto Bits = [k](__m128i mask) {
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(mask)))
                   << (16 * k);
        };
        const __m128i is80 = _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0x80)));
        classes.lead |= Bits(LeadBytes(b));
        classes.highTrail |= Bits(_mm_or_si128(is80, InRange(b, 0xA0, 0xDF)));
        classes.asciiTrail |= Bits(InRange(b, 0x40, 0x7E));
        if constexpr (kBadSingles) {
            const __m128i isA0 = _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xA0)));
            classes.badSingle |=
                Bits(_mm_or_si128(_mm_and_si128(is80, pick80), _mm_and_si128(isA0, pickA0)));
            high |= Bits(b);
        }
    }
    if constexpr (kBadSingles) {
        if (tables.badFdToFf) classes.badSingle |= high & ~(classes.lead | classes.highTrail);
    }
    return classes;
}

// The number of bits set, without the instruction that the processors this is built for may lack
// (the library call would cost more than these few steps).
inline std::size_t CountBits(std::uint64_t bits) {
#if defined(__POPCNT__)
    return static_cast<std::size_t>(std::popcount(bits));
#else
    bits -= bits >> 1 & 0x5555555555555555ULL;
    bits = (bits & 0x3333333333333333ULL) + (bits >> 2 & 0x3333333333333333ULL);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<std::size_t>((bits * 0x0101010101010101ULL) >> 56);
#endif
}

struct Shape {
    std::size_t twoByte = 0;  // sequences of two bytes, good or bad
    std::size_t badOne = 0;   // bad sequences of one byte (counted with kBadSingles only)
};

template <bool kBadSingles>
Shape ScanShape(const Tables& tables, std::span<const std::uint8_t> input) {
    constexpr std::uint64_t kEven = 0x5555555555555555ULL;
    const std::uint8_t* const in = input.data();
    const std::size_t size = input.size();
    Shape shape;
    // 1 when the first byte of the next 64 is the second of a pair that a lead before it starts.
    std::uint64_t carry = 0;
    // The last bytes, followed by zeros: bytes of their own, which end any run.
    std::array<std::uint8_t, 64> tail{};
    for (std::size_t at = 0; at < size; at += 64) {
        const std::uint8_t* block = in + at;
        if (size - at < 64) {
            std::memcpy(tail.data(), block, size - at);
            block = tail.data();
        } else if (carry == 0 && !AnyHighBit16(block) && !AnyHighBit16(block + 16) &&
                   !AnyHighBit16(block + 32) && !AnyHighBit16(block + 48)) {
            // Markup: 64 characters of one byte.
            continue;
        }
        const ByteClasses c = Classify<kBadSingles>(tables, block);
        const std::uint64_t leads = c.lead & ~carry;
        const std::uint64_t follows = leads << 1 | carry;
        // Adding the runs that start on an odd bit to the leads carries each of them past its
        // end; the runs left start on an even bit. A second byte is one at an odd distance from
        // its run's start.
        std::uint64_t evenRuns = 0;
        const bool over = __builtin_add_overflow(leads & ~kEven & ~follows, leads, &evenRuns);
        const std::uint64_t seconds = (kEven ^ (evenRuns << 1)) & follows;
        carry = over ? 1 : 0;
        const std::uint64_t paired = seconds & (c.lead | c.highTrail);
        shape.twoByte += CountBits(paired);
        for (std::uint64_t ascii = seconds & c.asciiTrail; ascii != 0; ascii &= ascii - 1) {
            const int bit = std::countr_zero(ascii);
            const std::uint8_t lead = bit == 0 ? in[at - 1] : block[bit - 1];
            if (tables.unit[PairSlot(lead, block[bit])] != kBad) {
                ++shape.twoByte;
            } else {
                ++shape.badOne;
            }
        }
        if constexpr (kBadSingles) {
            // Leads followed by no trail at all; bytes of their own that are no character, but
            // as the second of a pair.
            const std::uint64_t trails = c.lead | c.highTrail | c.asciiTrail;
            shape.badOne += CountBits(seconds & ~trails) + CountBits(c.badSingle & ~paired);
        }
    }
    // A lead at the very end is a bad sequence of its own.
    shape.badOne += static_cast<std::size_t>(carry);
    return shape;
}
#endif

// Whether ScanShape may count for the walk, and give the round-trip length too.
void MeasureShape(Tables& tables) {
#if defined(__SSE2__)
    std::array<std::uint8_t, 256> bytes;
    for (unsigned b = 0; b < 0x100; ++b) bytes[b] = static_cast<std::uint8_t>(b);
    bool agree = true;
    for (unsigned at = 0; at < 0x100; at += 64) {
        const ByteClasses c = Classify<false>(tables, bytes.data() + at);
        for (unsigned k = 0; k < 64; ++k) {
            const std::uint8_t b = static_cast<std::uint8_t>(at + k);
            const bool trail = IsTrailByte(b) && !IsLeadByte(b);
            agree = agree && (c.lead >> k & 1) == IsLeadByte(b) &&
                    (c.highTrail >> k & 1) == (trail && b >= 0x80) &&
                    (c.asciiTrail >> k & 1) == (trail && b < 0x80);
        }
    }
    tables.shapeKnown = agree;
    // Every character encodes back to as many bytes as it came in, and the bytes of their own
    // that are no character are those Classify can pick out.
    bool lengths = true;
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        if (tables.unit[slot] == kBad) continue;
        lengths = lengths && tables.roundTrip[slot] == (slot < kPairSlots ? 1 : 2);
    }
    const auto IsBad = [&](unsigned b) {
        return !IsLeadByte(static_cast<std::uint8_t>(b)) && tables.unit[b] == kBad;
    };
    tables.bad80 = IsBad(0x80);
    tables.badA0 = IsBad(0xA0);
    tables.badFdToFf = IsBad(0xFD);
    for (unsigned b = 0; b < 0x100; ++b) {
        const bool picked = b == 0x80   ? tables.bad80
                            : b == 0xA0 ? tables.badA0
                            : b >= 0xFD ? tables.badFdToFf
                                        : false;
        lengths = lengths && IsBad(b) == picked;
    }
    tables.roundTripFollowsShape = agree && lengths;
#else
    static_cast<void>(tables);
#endif
}

std::unique_ptr<const Tables> BuildTables() {
    auto tables = std::make_unique<Tables>();
    tables->unit.fill(kBad);
    tables->encode.fill(kMissing);

    IconvHandle decoder = OpenIconv("UTF-16LE", "CP932");
    IconvHandle encoder = OpenIconv("CP932", "UTF-16LE");
    if (!decoder || !encoder) {
        // Without glibc's converter modules only ASCII is known; everything else shows as
        // replacements, which keeps the text visible rather than failing.
        for (char16_t c = 0; c < 0x80; ++c) {
            tables->unit[c] = c;
            tables->encode[c] = c;
        }
        tables->asciiIsItself = AsciiIsItself(*tables);
        MeasureRoundTrips(*tables);
        MeasureShape(*tables);
        return tables;
    }

    std::uint8_t out[8];
    for (unsigned b = 0; b < 0x100; ++b) {
        const std::uint8_t in = static_cast<std::uint8_t>(b);
        if (!IsLeadByte(in) && ConvertOne(decoder.get(), &in, 1, out, sizeof out) == 2) {
            tables->unit[b] = static_cast<char16_t>(out[0] | out[1] << 8);
        }
    }
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsLeadByte(static_cast<std::uint8_t>(lead))) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            const std::uint8_t in[2] = {static_cast<std::uint8_t>(lead),
                                        static_cast<std::uint8_t>(trail)};
            if (!IsTrailByte(in[1])) continue;
            if (ConvertOne(decoder.get(), in, 2, out, sizeof out) == 2) {
                tables->unit[PairSlot(in[0], in[1])] = static_cast<char16_t>(out[0] | out[1] << 8);
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
    MeasureShape(*tables);
    return tables;
}

const Tables& GetTables() {
    static const std::unique_ptr<const Tables> tables = BuildTables();
    return *tables;
}

// The one walk over CP932 bytes. How the bytes divide into sequences, and which sequences are
// bad, is said here once; what each routine makes of them is its `Reader`'s:
//
//   static constexpr bool kMixedRuns
//                                   whether its bytes are any page as it came (one- and two-byte
//                                   characters mixed) rather than Shift_JIS text (runs of two)
//   static constexpr bool kSixteenAtATime
//                                   whether blocks of sixteen ASCII bytes are worth a try before
//                                   blocks of eight: where a reader does more with a block than
//                                   count it, since where markup and text alternate most tries fail
//   std::size_t Room() const        how many more sequences it can take (no limit: SIZE_MAX)
//   void Ascii(const std::uint8_t* p, std::size_t n)
//                                   n (8, or 16 with kSixteenAtATime) ASCII bytes at p, each a
//                                   character of its own that decodes to itself and encodes back to
//                                   one byte
//   bool Character(std::size_t slot)
//                                   the sequence in that slot of the tables; false when it is no
//                                   character, which the walk then reads as a bad sequence
//   bool Bad(std::size_t length)    one bad sequence of that many bytes; false ends the walk
//
// Returns the number of bytes read (all of them, unless the reader's room ran out, Bad ended the
// walk, or without `final` a lead byte at the very end waits for the next call) and the reader as
// it ends. The reader is a value of the walk's own, so that its counts stay in registers.
template <class Reader>
struct Walked {
    std::size_t read;
    Reader reader;
};

template <class Reader>
Walked<Reader> WalkCp932(std::span<const std::uint8_t> input, bool final, Reader reader) {
    const Tables& tables = reader.tables;
    const std::uint8_t* const in = input.data();
    const std::size_t size = input.size();
    const bool ascii = tables.asciiIsItself;
    std::size_t i = 0;
    while (i < size && reader.Room() > 0) {
        // Markup is mostly ASCII: sixteen or eight bytes at a time.
        if (Reader::kSixteenAtATime && ascii && size - i >= 16 && reader.Room() >= 16 &&
            !AnyHighBit16(in + i)) {
            reader.Ascii(in + i, 16);
            i += 16;
            continue;
        }
        if (ascii && size - i >= 8 && reader.Room() >= 8 && !AnyHighBit(in + i)) {
            reader.Ascii(in + i, 8);
            i += 8;
            continue;
        }
        // Kanji and kana come in runs: a tight loop while they last.
        if constexpr (Reader::kMixedRuns) {
            // Two-byte characters mixed with one-byte katakana, as EUC-JP read as Shift_JIS is
            // throughout: the slot is chosen without a branch on which is which, a guess the
            // processor would miss half the time. An ASCII byte ends the run once it is read.
            while (size - i >= 2 && reader.Room() > 0) {
                const std::uint8_t b = in[i];
                const bool lead = IsLeadByte(b);
                if (!reader.Character(lead ? PairSlot(b, in[i + 1]) : b)) break;
                i += lead ? 2 : 1;
                if (b < 0x80) break;
            }
        } else {
            // Runs of two-byte characters, as Shift_JIS text is: eight at a time where the reader
            // can take them so, then a branch on the lead byte, which the processor guesses
            // right, lets it run on to the next character while the table is still being read.
#if defined(__SSE2__)
            if constexpr (requires { reader.EightPairs(in); }) {
                while (size - i >= 16 && reader.Room() >= 8 && reader.EightPairs(in + i)) i += 16;
            }
#endif
            while (size - i >= 2 && reader.Room() > 0 && IsLeadByte(in[i]) &&
                   reader.Character(PairSlot(in[i], in[i + 1]))) {
                i += 2;
            }
        }
        if (i == size || reader.Room() == 0) break;
        // One sequence of any kind: a byte of its own, a lead byte at the very end, or a bad
        // sequence (a run ends at one; it is read again here, which costs only on bad bytes).
        const std::uint8_t b = in[i];
        if (!IsLeadByte(b)) {
            if (reader.Character(b)) {
                ++i;
                continue;
            }
        } else if (size - i == 1) {
            if (!final) break;
        } else if (reader.Character(PairSlot(b, in[i + 1]))) {
            i += 2;
            continue;
        }
        const std::size_t length = Cp932BadSequenceLength(input.subspan(i));
        if (!reader.Bad(length)) break;
        i += length;
    }
    return {i, reader};
}

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

// The characters themselves, into an output of limited room.
struct UnitWriter {
    static constexpr bool kMixedRuns = false;
    static constexpr bool kSixteenAtATime = true;
    const Tables& tables;
    std::span<char16_t> output;
    std::size_t written = 0;

    std::size_t Room() const { return output.size() - written; }
    void Ascii(const std::uint8_t* p, std::size_t n) {
        char16_t* const out = output.data() + written;
#if defined(__SSE2__)
        if (n == 16) {
            // Each byte widened to a unit by interleaving it with a zero byte.
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
            written += 16;
            return;
        }
#endif
        for (std::size_t k = 0; k < n; ++k) out[k] = p[k];
        written += n;
    }
    bool Character(std::size_t slot) {
        const char16_t unit = tables.unit[slot];
        if (unit == kBad) [[unlikely]]
            return false;
        output[written++] = unit;
        return true;
    }
    bool Bad(std::size_t) {
        output[written++] = kDecodeReplacement;
        return true;
    }
#if defined(__SSE2__)
    // The sixteen bytes at `p` as eight characters of two bytes, when that is what they are: a
    // lead at every even place and each pair a character. False, writing nothing, otherwise.
    bool EightPairs(const std::uint8_t* p) {
        if (!tables.shapeKnown) return false;
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if ((_mm_movemask_epi8(LeadBytes(bytes)) & 0x5555) != 0x5555) return false;
        // Each pair as PairSlot has it, less kPairSlots: the lead, less 80, above the trail.
        const __m128i slots =
            _mm_xor_si128(_mm_or_si128(_mm_slli_epi16(bytes, 8), _mm_srli_epi16(bytes, 8)),
                          _mm_set1_epi16(static_cast<short>(0x8000)));
        __m128i units = _mm_cvtsi32_si128(tables.unit[kPairSlots + _mm_extract_epi16(slots, 0)]);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 1)], 1);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 2)], 2);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 3)], 3);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 4)], 4);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 5)], 5);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 6)], 6);
        units = _mm_insert_epi16(units, tables.unit[kPairSlots + _mm_extract_epi16(slots, 7)], 7);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(units, _mm_set1_epi16(-1))) != 0) return false;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output.data() + written), units);
        written += 8;
        return true;
    }
#endif
};

// Only how many characters there are.
struct UnitCounter {
    static constexpr bool kMixedRuns = false;
    static constexpr bool kSixteenAtATime = false;
    const Tables& tables;
    std::size_t count = 0;

    static std::size_t Room() { return kNoLimit; }
    void Ascii(const std::uint8_t*, std::size_t n) { count += n; }
    bool Character(std::size_t slot) {
        if (tables.unit[slot] == kBad) [[unlikely]]
            return false;
        ++count;
        return true;
    }
    bool Bad(std::size_t) {
        ++count;
        return true;
    }
};

// Only whether every sequence is a character: the walk ends at the first that is not.
struct CleanChecker {
    static constexpr bool kMixedRuns = false;
    static constexpr bool kSixteenAtATime = false;
    const Tables& tables;
    bool clean = true;

    static std::size_t Room() { return kNoLimit; }
    void Ascii(const std::uint8_t*, std::size_t) {}
    bool Character(std::size_t slot) const { return tables.unit[slot] != kBad; }
    bool Bad(std::size_t) {
        clean = false;
        return false;
    }
};

// The length of each character encoded back, and of the replacement for each bad sequence.
struct RoundTripMeasurer {
    static constexpr bool kMixedRuns = true;
    static constexpr bool kSixteenAtATime = false;
    const Tables& tables;
    std::size_t length = 0;

    static std::size_t Room() { return kNoLimit; }
    void Ascii(const std::uint8_t*, std::size_t n) { length += n; }
    bool Character(std::size_t slot) {
        const std::uint8_t lngBytes = tables.roundTrip[slot];
        if (lngBytes == 0) [[unlikely]]
            return false;
        length += lngBytes;
        return true;
    }
    bool Bad(std::size_t) {
        length += CodeLength(kMissing);
        return true;
    }
};

}  // namespace

Progress Decode(std::span<const std::uint8_t> input, std::span<char16_t> output, bool final) {
    const Walked walked = WalkCp932(input, final, UnitWriter{GetTables(), output});
    return {walked.read, walked.reader.written};
}

std::u16string DecodeAll(std::span<const std::uint8_t> input) {
    std::u16string text(input.size(), u'\0');
    const Progress progress = Decode(input, text, true);
    text.resize(progress.written);
    return text;
}

std::size_t DecodedLength(std::span<const std::uint8_t> input) {
    const Tables& tables = GetTables();
#if defined(__SSE2__)
    if (tables.shapeKnown) return input.size() - ScanShape<false>(tables, input).twoByte;
#endif
    return WalkCp932(input, true, UnitCounter{tables}).reader.count;
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
#if defined(__SSE2__)
    // Every sequence encodes back to as many bytes as it has, but a bad one of one byte, which
    // becomes the two of the replacement.
    if (tables.roundTripFollowsShape) return input.size() + ScanShape<true>(tables, input).badOne;
#endif
    return WalkCp932(input, true, RoundTripMeasurer{tables}).reader.length;
}

}  // namespace

// A page of a megabyte is measured in two halves at once; below it, a second thread costs more
// than it saves.
std::size_t RoundTripLength(std::span<const std::uint8_t> input, const TwoHalves& halves) {
    // Built here, before a second thread reads them, so that a failure to build them is this
    // call's to report.
    static_cast<void>(GetTables());
    if (input.size() < std::max<std::size_t>(halves.from, 2)) return RoundTripLengthInOneGo(input);
    // Reading is in step right after a byte that is a sequence of its own, whatever came before
    // it: two halves bordering there add up to the whole.
    std::size_t border = input.size() / 2;
    const std::size_t limit = std::min(input.size(), border + halves.borderSearch);
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
    return WalkCp932(input, true, CleanChecker{GetTables()}).reader.clean;
}

}  // namespace codepage
