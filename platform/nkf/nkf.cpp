#include "platform/nkf/nkf.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage/codepage.h"
#include "platform/nkf/recognise.h"
#include "platform/nkf/table_path.h"

namespace nkf {
namespace {

thread_local bool shiftJisSelected = false;

std::span<const std::uint8_t> CutAtZero(std::span<const std::uint8_t> input) {
    if (input.empty()) return input;  // memchr must not see the null pointer of an empty span
    const void* zero = std::memchr(input.data(), 0, input.size());
    if (zero == nullptr) return input;
    return input.first(static_cast<const std::uint8_t*>(zero) - input.data());
}

}  // namespace

Encoding RecogniseEncoding(std::span<const std::uint8_t> input) {
    using namespace detail;
    if (auto bom = EncodingOfByteOrderMark(input)) return *bom;
    const std::span<const std::uint8_t> text = CutAtZero(input);
    if (LooksLikeIso2022Jp(text)) return Encoding::kIso2022Jp;
    if (IsUtf8WithNonAscii(text)) return Encoding::kUtf8;
    return RecogniseShiftJisOrEucJp(text);
}

bool SetNkfOption(std::string_view options) {
    shiftJisSelected = options == "s" || options == "-s";
    return shiftJisSelected;
}

ConvertResult NkfConvert(std::span<std::uint8_t> output, std::span<const std::uint8_t> input) {
    ConvertResult result;
    if (output.empty()) return result;
    output[0] = 0;
    if (!shiftJisSelected) {
        result.from = RecogniseEncoding(input);
        return result;
    }
    // The last byte of the output is kept for the terminating zero.
    const std::span<std::uint8_t> room = output.first(output.size() - 1);

    // Recognition as RecogniseEncoding does it, but with its UTF-8 step done by converting: a UTF-8
    // page, the commonest, is then read once rather than once to recognise and once to convert.
    // UTF-16 is read whole: its text is full of zero bytes. Everything else ends at the first.
    std::span<const std::uint8_t> text;
    if (auto bom = detail::EncodingOfByteOrderMark(input)) {
        result.from = *bom;
        text = *bom == Encoding::kUtf8 ? CutAtZero(input).subspan(3) : input.subspan(2);
    } else {
        text = CutAtZero(input);
        if (detail::LooksLikeIso2022Jp(text)) {
            result.from = Encoding::kIso2022Jp;
        } else {
            const detail::Utf8Attempt attempt = detail::ConvertIfUtf8(room, text);
            if (attempt.answer == detail::Utf8Answer::kUtf8) {
                result.from = Encoding::kUtf8;
                result.written = attempt.written;
                result.complete = true;
                output[result.written] = 0;
                return result;
            }
            // The bytes of the attempt are no conversion; callers count on zeros past the
            // terminator when the output came to them zeroed.
            std::fill_n(output.begin(), std::min(attempt.written + 1, output.size()), 0);
            if (attempt.answer == detail::Utf8Answer::kUnknown) {
                result.from = detail::IsUtf8WithNonAscii(text)
                                  ? Encoding::kUtf8
                                  : detail::RecogniseShiftJisOrEucJp(text);
            } else {
                result.from = detail::RecogniseShiftJisOrEucJp(text);
            }
        }
    }

    const detail::PathResult converted = detail::ConvertWithTables(room, text, result.from);
    result.written = converted.written;
    result.complete = converted.complete;
    output[result.written] = 0;
    return result;
}

}  // namespace nkf
