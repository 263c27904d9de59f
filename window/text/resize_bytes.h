#pragma once

#include <cstdint>
#include <vector>

// Shortens `bytArray` to end just before its first zero byte and returns the number of bytes left.
// An array without a zero byte is left as it is and its full length is returned.
std::int32_t ResizeBytes(std::vector<std::uint8_t>& bytArray);
