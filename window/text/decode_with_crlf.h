#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <QString>

#include "window/text/text_sizes.h"

// Decodes Shift_JIS through the code page and makes every line break CR LF on the way: CR LF, a
// lone LF, a lone CR and U+0001 each become one CR LF, as the three replacement passes would (CR LF
// to U+0001; LF, then CR, to U+0001; U+0001 to CR LF) in a single pass. A long text is decoded in
// two parts at once (from udtSizes.lngTwoPartsFrom bytes on).
QString DecodeWithCrLf(std::span<const std::uint8_t> bytText, const TextSizes& udtSizes = {});

// How many units DecodeWithCrLf gives for `bytText`, without decoding it: one per character, and
// one more for each line break or marker it turns from one unit into two. Where the second part of
// a long text goes follows from it.
std::size_t DecodedLengthWithCrLf(std::span<const std::uint8_t> bytText);
