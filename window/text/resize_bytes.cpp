#include "window/text/resize_bytes.h"

#include <algorithm>

std::int32_t ResizeBytes(std::vector<std::uint8_t>& bytArray) {
    auto zero = std::find(bytArray.begin(), bytArray.end(), std::uint8_t{0});
    bytArray.erase(zero, bytArray.end());
    return static_cast<std::int32_t>(bytArray.size());
}
