#pragma once

// The reference conversion: glibc's iconv in two steps, the source encoding into UCS-4 and UCS-4
// into CP932, with the converter's own rules for what iconv refuses (bad sequences, characters
// CP932 lacks, the extension rows). The table-driven conversion is built from it and checked
// against it; UTF-16 is converted by it alone.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/nkf/nkf.h"

namespace nkf::detail {

struct PathResult {
    std::size_t written = 0;
    // False when the output filled up or iconv failed; the bytes written are whole characters.
    bool complete = false;
};

class Pipeline;

// The reference converting pieces of one text into one output, for a caller that converts the
// rest itself: each piece must start and end between characters.
class IconvPath {
public:
    IconvPath(Encoding from, std::span<std::uint8_t> output);
    IconvPath(const IconvPath&) = delete;
    IconvPath& operator=(const IconvPath&) = delete;
    ~IconvPath();

    // False when glibc lacks one of the two converters.
    bool Ready() const;
    // Converts `text` into the output from `position` on. With `necRows`, `text` is EUC-JP whose
    // rows 89-92 are the NEC-selected IBM extension characters.
    PathResult ConvertAt(std::size_t position, std::span<const std::uint8_t> text, bool necRows);

private:
    std::unique_ptr<Pipeline> pipeline_;
};

// Converts `text` (already cut at its zero byte and without its byte-order mark) from `from` into
// CP932 in `output`, which has no room kept for a terminator.
PathResult ConvertThroughIconv(std::span<std::uint8_t> output, std::span<const std::uint8_t> text,
                               Encoding from);

}  // namespace nkf::detail
