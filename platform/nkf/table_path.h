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

}  // namespace nkf::detail
