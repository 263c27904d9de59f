#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How many bytes of `body` ConvertBody turns into text: those before its first zero byte, where
// the converter's input ends, or the whole of a UTF-16 page, whose zero bytes are part of its
// characters. Less than body.size() when the text ends at a zero byte.
std::size_t ConvertedLength(const std::vector<std::uint8_t>& body);
