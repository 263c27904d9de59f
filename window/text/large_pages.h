#pragma once

#include <cstddef>

// Asks the system for large pages for the whole pages inside the `lngLength` bytes at `pbyt`: a
// big buffer that is filled front to back then faults once in 2 MiB rather than once in 4 KiB, and
// page faults are most of what filling fresh memory costs. Only a hint: without it, or where the
// system declines, the buffer works the same.
void AdviseLargePages(void* pbyt, std::size_t lngLength);

// Has the system supply the whole pages inside the `lngLength` bytes at `pbyt` at once, for a
// buffer about to be written through: one call instead of a fault at each page. Also a hint only.
void PrefaultPages(void* pbyt, std::size_t lngLength);
