#pragma once

#include <cstddef>

// The sizes above which the text operations take another path. The defaults are the program's,
// each where the benchmarks put it; tests and fuzz targets pass smaller ones so that inputs of a
// few kilobytes take the paths of pages of megabytes.
struct TextSizes {
    // ConvertBody: a body this long has its round-trip length measured on a second thread, beside
    // the conversion; below it, the thread costs more than it saves.
    std::size_t lngMeasureBesideFrom = std::size_t{1} << 18;
    // ConvertBody: a body this long has its round-trip length measured in two halves at once.
    std::size_t lngHalvesFrom = std::size_t{1} << 20;
    // DecodeWithCrLf: a text this long is decoded in two parts at once.
    std::size_t lngTwoPartsFrom = std::size_t{1} << 20;
    // How far past its aim the border between two halves or parts may be sought, looking for a
    // byte that stands alone; with none that near, the text is read in one go.
    std::size_t lngBorderSearch = std::size_t{1} << 16;
    // DecodeWithCrLf: how many units the code page decodes at a time before the line breaks are
    // made CR LF (at most 16384).
    std::size_t lngDecodeWindow = 16384;
    // RemoveTags: the longest text, in units, that works in room kept from the call before (6 MB
    // of it at most); a longer one gets room of its own, given back when it is done.
    std::size_t lngKeptRoom = std::size_t{2} << 20;
};
