#include "window/text/resize_bytes.h"

#include <cstring>

std::int32_t ResizeBytes(std::span<std::uint8_t>& bytArray) {
    // The converter's output can run to megabytes: memchr finds its terminator fastest.
    if (bytArray.empty()) return 0;
    const void* pbytZero = std::memchr(bytArray.data(), 0, bytArray.size());
    if (pbytZero != nullptr) {
        bytArray = bytArray.first(
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(pbytZero) - bytArray.data()));
    }
    return static_cast<std::int32_t>(bytArray.size());
}

std::int32_t ResizeBytes(std::vector<std::uint8_t>& bytArray) {
    std::span<std::uint8_t> bytBytes(bytArray);
    const std::int32_t lngCount = ResizeBytes(bytBytes);
    bytArray.resize(bytBytes.size());
    return lngCount;
}
