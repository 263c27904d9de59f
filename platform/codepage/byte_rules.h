#pragma once

// The byte-sequence rules of the encodings the program reads, each written once: recognition, the
// kanji converter and the code page all ask these, so a page that recognition calls clean is one
// that conversion reads without a "〓". Part of the code page's interface, since every layer that
// reads bytes links the code page.

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace codepage {

// ---- ASCII ----

// Eight bytes at `p`: whether any has its top bit set. Markup is mostly ASCII, passed over a word
// at a time.
inline bool AnyHighBit(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return (word & 0x8080808080808080ULL) != 0;
}

// Sixteen bytes at `p`: whether any has its top bit set. One test where the processor has a
// sixteen-byte register, two words where it has not.
inline bool AnyHighBit16(const std::uint8_t* p) {
#if defined(__SSE2__)
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) != 0;
#else
    return AnyHighBit(p) || AnyHighBit(p + 8);
#endif
}

// The first position from `pos` on that does not start eight ASCII bytes in a row.
inline std::size_t SkipAsciiWords(std::span<const std::uint8_t> input, std::size_t pos) {
    while (input.size() - pos >= 8 && !AnyHighBit(input.data() + pos)) pos += 8;
    return pos;
}

// ASCII letters to lower case; every other byte, the upper half included, is left as it is (tag
// and charset names fold in ASCII only).
constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ---- CP932 (Shift_JIS) ----

// True for the bytes that begin a two-byte CP932 character.
constexpr bool IsLeadByte(std::uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
// True for the bytes that may follow a lead byte.
constexpr bool IsTrailByte(std::uint8_t b) {
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// True for the bytes that are always a sequence of their own, neither a lead byte nor one that may
// follow a lead: reading is in step again right after one, whatever came before it.
constexpr bool IsCp932SequenceOfItsOwn(std::uint8_t b) {
    return !IsLeadByte(b) && !IsTrailByte(b);
}

// The length of the well-formed CP932 sequence at the start of `rest` (not empty): 2 for a lead
// byte and a trail byte, 1 for any other byte but a lead; 0 for a lead byte without a trail. Which
// of them are characters the code page's tables say.
constexpr std::size_t Cp932SequenceLength(std::span<const std::uint8_t> rest) {
    if (!IsLeadByte(rest[0])) return 1;
    return rest.size() >= 2 && IsTrailByte(rest[1]) ? 2 : 0;
}

// How many bytes at the start of `rest` (not empty) one bad CP932 sequence takes: a lead byte and
// the trail byte after it when that trail is not ASCII; otherwise the first byte alone, so that an
// ASCII byte after a lead is read afresh.
constexpr std::size_t Cp932BadSequenceLength(std::span<const std::uint8_t> rest) {
    return IsLeadByte(rest[0]) && rest.size() >= 2 && IsTrailByte(rest[1]) && rest[1] >= 0x80 ? 2
                                                                                              : 1;
}

// ---- EUC-JP ----

// The bytes of a two-byte JIS X 0208 character, and of both bytes after 0x8F (JIS X 0212).
constexpr bool IsEucJpByte(std::uint8_t b) {
    return b >= 0xA1 && b <= 0xFE;
}
// The bytes that may follow 0x8E: half-width katakana.
constexpr bool IsEucJpKatakana(std::uint8_t b) {
    return b >= 0xA1 && b <= 0xDF;
}

// The length of the well-formed EUC-JP sequence at the start of `rest` (not empty): 1 for ASCII, 2
// for a JIS X 0208 character or 0x8E and a katakana byte, 3 for 0x8F and two JIS X 0212 bytes; 0
// when no well-formed sequence starts there.
constexpr std::size_t EucJpSequenceLength(std::span<const std::uint8_t> rest) {
    const std::uint8_t b = rest[0];
    if (b < 0x80) return 1;
    if (b == 0x8E) return rest.size() >= 2 && IsEucJpKatakana(rest[1]) ? 2 : 0;
    if (b == 0x8F) {
        return rest.size() >= 3 && IsEucJpByte(rest[1]) && IsEucJpByte(rest[2]) ? 3 : 0;
    }
    return IsEucJpByte(b) && rest.size() >= 2 && IsEucJpByte(rest[1]) ? 2 : 0;
}

// How many bytes one bad EUC-JP sequence at the start of `rest` takes: a well-formed sequence
// that has no character is bad whole; otherwise the first byte alone is.
constexpr std::size_t EucJpBadSequenceLength(std::span<const std::uint8_t> rest) {
    const std::size_t length = EucJpSequenceLength(rest);
    return length == 0 ? 1 : length;
}

// ---- ISO-2022-JP ----

// The bytes of a character of a 94-character set (JIS X 0208 and 0212 rows and cells).
constexpr bool IsJisByte(std::uint8_t b) {
    return b >= 0x21 && b <= 0x7E;
}

// ---- UTF-8 ----

namespace detail {

// What a first byte allows: the length of the sequence it starts (0 when none starts with it) and
// the range of the second byte. No overlong forms (C0, C1, E0 80-9F, F0 80-8F), no surrogates
// (ED A0-BF) and nothing past U+10FFFF (F4 90-BF, F5-FF); every later byte is 80-BF.
struct Utf8Lead {
    std::uint8_t length;
    std::uint8_t low;
    std::uint8_t high;
};

constexpr Utf8Lead Utf8LeadOf(std::uint8_t b) {
    if (b < 0x80) return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    return {0, 0, 0};
}

// The same, looked up: readers of long UTF-8 pages ask it for every character.
inline constexpr auto kUtf8Leads = [] {
    std::array<Utf8Lead, 0x100> leads{};
    for (unsigned b = 0; b < 0x100; ++b) leads[b] = Utf8LeadOf(static_cast<std::uint8_t>(b));
    return leads;
}();

// How far the start of `rest` goes along a well-formed UTF-8 sequence: `matched` bytes of the
// `length` its first byte calls for (length 0 when no sequence starts with it).
struct Utf8Reach {
    std::size_t matched;
    std::size_t length;
};

constexpr Utf8Reach ReachUtf8(std::span<const std::uint8_t> rest) {
    const Utf8Lead& lead = kUtf8Leads[rest[0]];
    if (lead.length <= 1) return {lead.length, lead.length};
    std::size_t matched = 1;
    if (rest.size() > 1 && rest[1] >= lead.low && rest[1] <= lead.high) {
        matched = 2;
        while (matched < lead.length && matched < rest.size() && (rest[matched] & 0xC0) == 0x80) {
            ++matched;
        }
    }
    return {matched, lead.length};
}

}  // namespace detail

// The length of the well-formed UTF-8 sequence at the start of `rest` (not empty), 1 for ASCII; 0
// when none starts there.
constexpr std::size_t Utf8SequenceLength(std::span<const std::uint8_t> rest) {
    const detail::Utf8Reach reach = detail::ReachUtf8(rest);
    return reach.matched == reach.length ? reach.length : 0;
}

// The code point of the well-formed three-byte sequence at the start of `word`, three bytes in
// the order they come, the first in the low eight bits (the high eight are not looked at); 0 when
// none starts there. What Utf8SequenceLength says of them, in the few operations that the loops
// over Japanese text, made of such sequences, can afford for each: the masks keep the marker bits
// of a first byte E0-EF and of two continuation bytes, and overlong forms and surrogates show in
// the code point.
constexpr char32_t Utf8ThreeByteCodePoint(std::uint32_t word) {
    if ((word & 0xC0C0F0) != 0x8080E0) return 0;
    const char32_t c = (word & 0x0F) << 12 | (word >> 2 & 0xFC0) | (word >> 16 & 0x3F);
    return c < 0x800 || (c & 0xF800) == 0xD800 ? 0 : c;
}

// How many bytes one bad UTF-8 sequence at the start of `rest` takes: the longest start of a
// well-formed sequence, at least one byte.
constexpr std::size_t Utf8BadSequenceLength(std::span<const std::uint8_t> rest) {
    const detail::Utf8Reach reach = detail::ReachUtf8(rest);
    return reach.matched == 0 ? 1 : reach.matched;
}

}  // namespace codepage
