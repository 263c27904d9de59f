#pragma once

// The converter's tests of an encoding, one per step of its recognition order.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/nkf/nkf.h"

namespace nkf::detail {

// The encoding a byte-order mark at the start of `input` names, if any.
std::optional<Encoding> EncodingOfByteOrderMark(std::span<const std::uint8_t> input);
// Every byte is 7-bit and at least one ISO-2022-JP escape sequence is present.
bool LooksLikeIso2022Jp(std::span<const std::uint8_t> input);
// Strictly valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF) and not ASCII.
bool IsUtf8WithNonAscii(std::span<const std::uint8_t> input);
// The steps of recognition after UTF-8, for text (cut at its zero byte) that has no byte-order
// mark and is neither ISO-2022-JP nor UTF-8 with non-ASCII: Shift_JIS or EUC-JP.
Encoding RecogniseShiftJisOrEucJp(std::span<const std::uint8_t> text);
// The same, told whether `text` decodes cleanly as EUC-JP.
Encoding ChooseShiftJisOrEucJp(std::span<const std::uint8_t> text, bool eucJp);
// Every byte belongs to a well-formed EUC-JP sequence.
bool DecodesCleanlyAsEucJp(std::span<const std::uint8_t> input);
// The Shift_JIS or EUC-JP encoding that a meta charset declaration in the first 1024 bytes names.
std::optional<Encoding> DeclaredJapaneseCharset(std::span<const std::uint8_t> input);
// Read as Shift_JIS, some character is in the user-defined area (F040-F9FC). Real Shift_JIS text
// almost never needs it, while EUC-JP kanji of rows 84-92 read as exactly that.
bool NeedsUserDefinedAreaAsShiftJis(std::span<const std::uint8_t> input);
// The statistical detector's answer when it is Shift_JIS or EUC-JP. It reads at most the first
// DetectorSample() bytes of `input`.
std::optional<Encoding> DetectorAnswer(std::span<const std::uint8_t> input);
// How much of a text the detector reads. It settles within the first few hundred kilobytes; a
// whole large page would only cost time.
inline constexpr std::size_t kDetectorSample = std::size_t{256} << 10;
std::size_t DetectorSample();
// Sets how much the detector reads in the recognitions that follow on this thread. Tests and fuzz
// targets set a few hundred bytes, so that their short inputs are cut as long pages are.
void SetDetectorSample(std::size_t bytes);
// Every non-ASCII character is half-width katakana when `input` is read as EUC-JP (0x8E and a
// katakana byte). Read as Shift_JIS the same bytes would be kanji all from the one lead byte 0x8E,
// which no real text is.
bool IsAllHalfWidthKatakanaAsEucJp(std::span<const std::uint8_t> input);
// More than half of the non-ASCII characters are half-width katakana when `input` is read in
// `encoding` (Shift_JIS or EUC-JP).
bool IsMostlyHalfWidthKatakana(std::span<const std::uint8_t> input, Encoding encoding);

}  // namespace nkf::detail
