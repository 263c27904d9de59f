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

// What ConvertIfUtf8 found out about the text.
enum class Utf8Answer {
    kUtf8,     // well-formed UTF-8 and not all ASCII: converted whole
    kNotUtf8,  // a bad sequence, or ASCII only
    kUnknown,  // the output filled up first, or there are no tables
};

struct Utf8Attempt {
    std::size_t written = 0;  // bytes stored, and at most one more past them
    Utf8Answer answer = Utf8Answer::kUnknown;
};

// Converts `text` as UTF-8, as ConvertWithTables does, for as long as it is well-formed: what
// recognition asks of it (IsUtf8WithNonAscii) is answered on the way. Only with the answer kUtf8
// does `output` hold the conversion (`written` bytes); otherwise it holds bytes to throw away.
Utf8Attempt ConvertIfUtf8(std::span<std::uint8_t> output, std::span<const std::uint8_t> text);

}  // namespace nkf::detail
