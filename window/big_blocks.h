#pragma once

#include <cstddef>

// Blocks of this many bytes and more are big: a page's texts, its body, the converter's buffers.
inline constexpr std::size_t kBigBlock = 256 * 1024;

// Makes every block of `lngBig` bytes or more go back to the system as soon as it is freed. Call
// it first thing in main(), before any thread starts: the program's own, and any that measures the
// window as the program runs it. Tests lower `lngBig` to see it work on texts of a few kilobytes.
void ReturnBigBlocksToTheSystem(std::size_t lngBig = kBigBlock);
