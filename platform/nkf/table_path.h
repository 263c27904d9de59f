#pragma once

// The conversion by table lookup: for Shift_JIS, EUC-JP, ISO-2022-JP and UTF-8, each character is
// looked up in tables read once from the iconv reference (every character converted through it
// one by one), so the two give the same bytes. A bad sequence, by the byte rules both follow, is
// one "〓".

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/nkf/iconv_path.h"
#include "platform/nkf/nkf.h"

namespace nkf::detail {

// Whether ConvertWithTables reads `from`: every encoding but UTF-16, as long as glibc has the
// converters the tables are read through.
bool HasTables(Encoding from);

// What ConvertThroughIconv gives, byte for byte and with the same result, by table lookup.
PathResult ConvertWithTables(std::span<std::uint8_t> output, std::span<const std::uint8_t> text,
                             Encoding from);

// What a conversion that stops at the first bad sequence found out about the text.
enum class Answer {
    kYes,      // the text is in the encoding tried: converted whole
    kNo,       // it is not
    kUnknown,  // the output filled up first, or there are no tables
};

struct Attempt {
    std::size_t written = 0;  // bytes stored, and at most one more past them
    Answer answer = Answer::kUnknown;
};

// Converts `text` as UTF-8, as ConvertWithTables does, for as long as it is well-formed: what
// recognition asks of it (IsUtf8WithNonAscii) is answered on the way. Only with the answer kYes
// does `output` hold the conversion (`written` bytes); otherwise it holds bytes to throw away.
Attempt ConvertIfUtf8(std::span<std::uint8_t> output, std::span<const std::uint8_t> text);

// The same for EUC-JP and DecodesCleanlyAsEucJp, the question recognition asks of a page that is
// not UTF-8: kYes when every byte belongs to a well-formed sequence. Whether the page is then read
// as EUC-JP is for the rest of recognition to say.
Attempt ConvertIfEucJp(std::span<std::uint8_t> output, std::span<const std::uint8_t> text);

}  // namespace nkf::detail
