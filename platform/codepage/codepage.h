#pragma once

// The system code page: Microsoft's code page 932 (Shift_JIS with the NEC and IBM extension rows),
// which the window decodes its text through. The mapping is glibc's CP932 converter, read once into
// tables the first time any routine here runs; the routines themselves never fail.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/codepage/byte_rules.h"

namespace codepage {

// What a byte sequence that is not valid CP932 decodes to: one of these per bad sequence.
inline constexpr char16_t kDecodeReplacement = u'\uFFFD';
// What a character CP932 lacks encodes to: "〓", the geta mark.
inline constexpr std::uint8_t kEncodeReplacement[2] = {0x81, 0xAC};

struct Progress {
    std::size_t read = 0;     // input elements consumed
    std::size_t written = 0;  // output elements produced
};

// Decodes CP932 bytes into UTF-16, stopping when the input is used up or the output is full. Every
// byte sequence gives exactly one UTF-16 unit, so an output as long as the input always suffices.
// A bad sequence is a byte that no character starts with, or a lead byte whose next byte cannot
// follow it (the lead alone is bad; the next byte is read afresh), or a lead and trail pair that
// has no character (the pair is bad, unless the trail is ASCII, which is then read afresh). With
// `final`, a lead byte at the very end is a bad sequence; without it, it is left unread for the
// next call.
Progress Decode(std::span<const std::uint8_t> input, std::span<char16_t> output, bool final = true);
std::u16string DecodeAll(std::span<const std::uint8_t> input);

// The number of UTF-16 units Decode gives for the whole of `input` (with `final`), without
// producing them: its number of byte sequences, good and bad.
std::size_t DecodedLength(std::span<const std::uint8_t> input);

// Encodes UTF-16 into CP932, stopping when the input is used up or the next character does not fit
// in the output. A character CP932 lacks, a surrogate pair or a lone surrogate gives
// kEncodeReplacement. With `final`, a high surrogate at the very end is a lone one; without it, it
// is left unread for the next call.
Progress Encode(std::span<const char16_t> input, std::span<std::uint8_t> output, bool final = true);
std::vector<std::uint8_t> EncodeAll(std::span<const char16_t> input);

// The number of bytes EncodeAll would give for `input`, without producing them.
std::size_t EncodedLength(std::span<const char16_t> input);

// Where a long input is measured in two halves at once: from `from` bytes on, with the border
// between the halves sought up to `borderSearch` bytes past the middle (in one go when none is
// found). The defaults are the program's, where the benchmarks put them; tests and fuzz targets
// lower them so that inputs of a few kilobytes take the path of a long page.
struct TwoHalves {
    std::size_t from = std::size_t{1} << 20;
    std::size_t borderSearch = std::size_t{1} << 16;
};

// The length in bytes of `input` decoded and encoded back, one character at a time, without
// keeping the decoded text: what EncodeAll(DecodeAll(input)).size() would be. For bytes that are
// valid CP932 it is their own length.
std::size_t RoundTripLength(std::span<const std::uint8_t> input, const TwoHalves& halves = {});

// True when every byte of `input` belongs to a character that CP932 decodes (no replacement).
bool DecodesCleanly(std::span<const std::uint8_t> input);

}  // namespace codepage
