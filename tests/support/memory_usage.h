#pragma once

// This process's resident memory, for measuring what a call costs at its peak.

#include <cstddef>

namespace recvhtml::test {

// Resident set size now, in bytes (VmRSS).
std::size_t CurrentRssBytes();
// The highest resident set size since the start or the last ResetPeakRss (VmHWM).
std::size_t PeakRssBytes();
// Starts a new peak from the current size. Returns false where the system cannot reset it.
bool ResetPeakRss();

}  // namespace recvhtml::test
