#pragma once

// The sizes the fuzz targets and the tests pass so that inputs of a few kilobytes take the paths
// of pages of megabytes: two halves and two parts from a few hundred bytes on, border searches
// short enough that some inputs find no border, a decode window that a line break can straddle,
// kept room that some texts outgrow. Header only: the fuzz targets, which link no test support,
// take it too.

#include "platform/codepage/codepage.h"
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
