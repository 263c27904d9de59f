#include "platform/codepage/plain_cp932.h"

#include "platform/codepage/byte_rules.h"
#include "platform/codepage/codepage.h"
#include "platform/codepage/iconv_handle.h"

namespace codepage::plain {
namespace {

// The bytes iconv gives for the `length` bytes at `in`, all of them read; empty when it refuses.
std::vector<std::uint8_t> ConvertWhole(iconv_t cd, const void* in, std::size_t length) {
    char* inPtr = static_cast<char*>(const_cast<void*>(in));
    std::size_t inLeft = length;
    char out[16];
    char* outPtr = out;
    std::size_t outLeft = sizeof out;
    const bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (!ok || inLeft != 0) return {};
    return std::vector<std::uint8_t>(out, outPtr);
}

}  // namespace

std::u16string Decode(std::span<const std::uint8_t> input) {
    const IconvHandle decoder = OpenIconv("UTF-16LE", "CP932");
    std::u16string text;
    for (std::size_t i = 0; i < input.size();) {
        const std::span<const std::uint8_t> rest = input.subspan(i);
        const std::size_t length = Cp932SequenceLength(rest);
        if (length != 0 && decoder) {
            const std::vector<std::uint8_t> unit = ConvertWhole(decoder.get(), rest.data(), length);
            if (unit.size() == 2) {
                text += static_cast<char16_t>(unit[0] | unit[1] << 8);
                i += length;
                continue;
            }
        }
        text += kDecodeReplacement;
        i += Cp932BadSequenceLength(rest);
    }
    return text;
}

std::vector<std::uint8_t> Encode(std::span<const char16_t> input) {
    const IconvHandle encoder = OpenIconv("CP932", "UTF-16LE");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char16_t c = input[i];
        std::vector<std::uint8_t> code;
        if (c >= 0xD800 && c <= 0xDFFF) {
            // A pair is one character, which CP932 lacks; a lone half is one too.
            if (c <= 0xDBFF && i + 1 < input.size() && input[i + 1] >= 0xDC00 &&
                input[i + 1] <= 0xDFFF) {
                ++i;
            }
        } else if (encoder) {
            const std::uint8_t unit[2] = {static_cast<std::uint8_t>(c & 0xFF),
                                          static_cast<std::uint8_t>(c >> 8)};
            code = ConvertWhole(encoder.get(), unit, sizeof unit);
        }
        if (code.empty()) code.assign(std::begin(kEncodeReplacement), std::end(kEncodeReplacement));
        bytes.insert(bytes.end(), code.begin(), code.end());
    }
    return bytes;
}

}  // namespace codepage::plain
