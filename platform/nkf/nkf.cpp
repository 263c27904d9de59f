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

    // Recognition as RecogniseEncoding does it, but with its UTF-8 and EUC-JP steps done by
    // converting: a page in either is then read once rather than once to recognise and once to
    // convert. UTF-16 is read whole: its text is full of zero bytes. Everything else ends at the
    // first.
    std::span<const std::uint8_t> text;
    // An attempt's conversion is the result when the text was in its encoding whole. Otherwise its
    // bytes are no conversion and go, since callers count on zeros past the terminator when the
    // output came to them zeroed.
    const auto Take = [&](const detail::Attempt& attempt) {
        result.written = attempt.written;
        result.complete = true;
        output[result.written] = 0;
        return result;
    };
    const auto Clear = [&](const detail::Attempt& attempt) {
        std::fill_n(output.begin(), std::min(attempt.written + 1, output.size()), 0);
    };
    if (auto bom = detail::EncodingOfByteOrderMark(input)) {
        result.from = *bom;
        text = *bom == Encoding::kUtf8 ? CutAtZero(input).subspan(3) : input.subspan(2);
    } else {
        text = CutAtZero(input);
        if (detail::LooksLikeIso2022Jp(text)) {
            result.from = Encoding::kIso2022Jp;
        } else {
            const detail::Attempt utf8 = detail::ConvertIfUtf8(room, text);
            if (utf8.answer == detail::Answer::kYes) {
                result.from = Encoding::kUtf8;
                return Take(utf8);
            }
            Clear(utf8);
            if (utf8.answer == detail::Answer::kUnknown && detail::IsUtf8WithNonAscii(text)) {
                result.from = Encoding::kUtf8;
            } else {
                const detail::Attempt eucJp = detail::ConvertIfEucJp(room, text);
                const bool clean = eucJp.answer == detail::Answer::kUnknown
                                       ? detail::DecodesCleanlyAsEucJp(text)
                                       : eucJp.answer == detail::Answer::kYes;
                result.from = detail::ChooseShiftJisOrEucJp(text, clean);
                if (result.from == Encoding::kEucJp && eucJp.answer == detail::Answer::kYes) {
                    return Take(eucJp);
                }
                Clear(eucJp);
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
