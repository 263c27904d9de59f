#pragma once

#include <cstddef>

// Blocks of this many bytes and more are big: a page's texts, its body, the converter's buffers.
inline constexpr std::size_t kBigBlock = 256 * 1024;

// Makes every block of kBigBlock bytes or more go back to the system as soon as it is freed. Call
// it first thing in main(), before any thread starts: the program's own, and any that measures the
// window as the program runs it. No smaller threshold would let a test see it on smaller texts: a
// block that fits in the heap's free top (up to 128 KiB) comes from there whatever the threshold.
void ReturnBigBlocksToTheSystem();
