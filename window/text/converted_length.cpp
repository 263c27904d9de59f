#include "window/text/converted_length.h"

#include <cstring>

#include "platform/nkf/nkf.h"

std::size_t ConvertedLength(const std::vector<std::uint8_t>& body) {
    if (body.empty()) return 0;
    const void* pZero = std::memchr(body.data(), 0, body.size());
    if (pZero == nullptr) return body.size();
    const nkf::Encoding enc = nkf::RecogniseEncoding(body);
    if (enc == nkf::Encoding::kUtf16Le || enc == nkf::Encoding::kUtf16Be) return body.size();
    return static_cast<std::size_t>(static_cast<const std::uint8_t*>(pZero) - body.data());
}
