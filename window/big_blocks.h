#pragma once

// Makes every large block of memory go back to the system as soon as it is freed. Call it first
// thing in main(), before any thread starts: the program's own, and any that measures the window
// as the program runs it.
void ReturnBigBlocksToTheSystem();
