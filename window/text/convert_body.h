#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// Turns a downloaded page body, in whatever Japanese encoding it uses, into display text whose line
// breaks are all CR LF. An empty body gives an empty text.
QString ConvertBody(const std::vector<std::uint8_t>& body);
