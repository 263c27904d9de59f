#pragma once

// The sizes the fuzz targets and the tests pass so that inputs of a few kilobytes take the paths
// of pages of megabytes: two halves and two parts from a few hundred bytes on, border searches
// short enough that some inputs find no border, a decode window that a line break can straddle,
// kept room that some texts outgrow, a detector that reads only the first few hundred bytes of a
// text as it reads only the first 256 KiB of a long page. Header only: the fuzz targets, which link
// no test support, take it too.

#include "platform/codepage/codepage.h"
#include "platform/nkf/recognise.h"
#include "window/text/text_sizes.h"

inline constexpr codepage::TwoHalves kSmallHalves{256, 16};

inline TextSizes SmallTextSizes() {
    TextSizes udtSizes;
    udtSizes.lngMeasureBesideFrom = 128;
    udtSizes.lngHalvesFrom = kSmallHalves.from;
    udtSizes.lngTwoPartsFrom = 256;
    udtSizes.lngBorderSearch = kSmallHalves.borderSearch;
    udtSizes.lngDecodeWindow = 61;
    udtSizes.lngKeptRoom = 512;
    return udtSizes;
}

// Sets the detector's sample for the recognitions that follow on this thread; returns true, so
// that a fuzz target can do it once in a static's initialiser.
inline bool UseSmallDetectorSample() {
    nkf::detail::SetDetectorSample(300);
    return true;
}
