#pragma once

// The kanji converter: recognises which Japanese encoding a byte string is in, by its bytes alone,
// and re-encodes it into Shift_JIS (code page 932). The window names only the output encoding.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace nkf {

enum class Encoding {
    kShiftJis,  // code page 932
    kEucJp,     // EUC-JP with Microsoft's extension rows
    kIso2022Jp,
    kUtf8,
    kUtf16Le,  // recognised only by its byte-order mark
    kUtf16Be,
};

// Which encoding NkfConvert reads `input` as. Every input has an answer; bytes that fit no
// encoding well are read as Shift_JIS. A byte-order mark counts only at the very start of the
// input; everything else is judged on the bytes before the first zero byte, the ones NkfConvert
// reads.
Encoding RecogniseEncoding(std::span<const std::uint8_t> input);

// Selects the output for the conversions that follow on this thread. The one option known is "s"
// (Shift_JIS output; "-s" is taken as the same). Returns false for any other option string, and
// then no output is selected, so that NkfConvert fails rather than guess.
bool SetNkfOption(std::string_view options);

struct ConvertResult {
    // False when no output was selected, the output span is empty, the converted text did not
    // fit, or iconv failed in a way other than a bad or unfinished sequence or a full buffer; the
    // bytes written are then whole characters and still followed by a zero byte (unless the span
    // is empty).
    bool complete = false;
    // Bytes written before the terminating zero byte.
    std::size_t written = 0;
    Encoding from = Encoding::kShiftJis;
};

// Converts `input` into the selected output encoding and writes it, followed by one zero byte,
// into `output`; nothing is written past the span's end. For every encoding but UTF-16 a zero byte
// in the input ends it there. A character Shift_JIS lacks becomes its look-alike where it has one,
// else "〓"; an invalid input sequence becomes "〓"; the conversion never stops early otherwise.
// Each output character comes from one input character, so none is dropped or multiplied.
ConvertResult NkfConvert(std::span<std::uint8_t> output, std::span<const std::uint8_t> input);

}  // namespace nkf
