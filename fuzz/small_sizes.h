#pragma once

// The sizes every fuzz target passes so that its inputs, a few kilobytes at most, take the paths of
// pages of megabytes: two halves and two parts from a few hundred bytes on, border searches short
// enough that some inputs find no border, a decode window that a line break can straddle, kept
// room that some texts outgrow.

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
