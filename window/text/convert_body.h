#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "window/text/text_sizes.h"

// Turns a downloaded page body, in whatever Japanese encoding it uses, into display text whose line
// breaks are all CR LF. An empty body gives an empty text. Throws std::bad_alloc when the memory
// for the conversion cannot be had (its output buffer alone takes four times the body), and
// std::runtime_error when the converter fails part-way. `udtSizes` says from which length a long
// page's paths are taken.
QString ConvertBody(const std::vector<std::uint8_t>& body, const TextSizes& udtSizes = {});
