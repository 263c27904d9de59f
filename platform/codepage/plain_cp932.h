#pragma once

// The code page the plain way: glibc's CP932 converter asked one sequence at a time, the bytes
// divided into sequences by the byte rules. What Decode and Encode give with their tables, their
// one walker and their blocks of ASCII must be what these give; the fuzz targets and the tests
// compare the two. Slow, and not for the program's own use.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace codepage::plain {

// What DecodeAll gives: each well-formed sequence that iconv decodes to one unit gives that unit,
// any other sequence one kDecodeReplacement for the bytes Cp932BadSequenceLength gives.
std::u16string Decode(std::span<const std::uint8_t> input);

// What EncodeAll gives: each unit that iconv encodes gives its bytes; a surrogate pair, a lone
// surrogate or a unit iconv refuses gives kEncodeReplacement.
std::vector<std::uint8_t> Encode(std::span<const char16_t> input);

}  // namespace codepage::plain
