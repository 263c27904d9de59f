#pragma once

// The reference conversion: glibc's iconv in two steps, the source encoding into UCS-4 and UCS-4
// into CP932, with the converter's own rules for what iconv refuses (bad sequences, characters
// CP932 lacks, the extension rows). The table-driven conversion is built from it and checked
// against it; UTF-16 is converted by it alone.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/nkf/nkf.h"

namespace nkf::detail {

struct PathResult {
    std::size_t written = 0;
    // False when the output filled up or iconv failed; the bytes written are whole characters.
    bool complete = false;
};

// Converts `text` (already cut at its zero byte and without its byte-order mark) from `from` into
// CP932 in `output`, which has no room kept for a terminator.
PathResult ConvertThroughIconv(std::span<std::uint8_t> output, std::span<const std::uint8_t> text,
                               Encoding from);

}  // namespace nkf::detail
