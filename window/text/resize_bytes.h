#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Shortens `bytArray` to end just before its first zero byte and returns the number of bytes left.
// An array without a zero byte is left as it is and its full length is returned.
std::int32_t ResizeBytes(std::vector<std::uint8_t>& bytArray);

// The same for a buffer that cannot be resized: `bytArray` is narrowed to end before its first zero
// byte.
std::int32_t ResizeBytes(std::span<std::uint8_t>& bytArray);
