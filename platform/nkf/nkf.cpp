#include "platform/nkf/nkf.h"

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
    const bool shiftJis = codepage::DecodesCleanly(text);
    const bool eucJp = DecodesCleanlyAsEucJp(text);
    if (shiftJis != eucJp) return shiftJis ? Encoding::kShiftJis : Encoding::kEucJp;
    if (!shiftJis) return Encoding::kShiftJis;
    if (auto declared = DeclaredJapaneseCharset(text)) return *declared;
    if (NeedsUserDefinedAreaAsShiftJis(text)) return Encoding::kEucJp;
    if (auto detected = DetectorAnswer(text)) return *detected;
    if (IsAllHalfWidthKatakanaAsEucJp(text)) return Encoding::kEucJp;
    const bool kanaAsShiftJis = IsMostlyHalfWidthKatakana(text, Encoding::kShiftJis);
    const bool kanaAsEucJp = IsMostlyHalfWidthKatakana(text, Encoding::kEucJp);
    if (kanaAsShiftJis && !kanaAsEucJp) return Encoding::kEucJp;
    return Encoding::kShiftJis;
}

bool SetNkfOption(std::string_view options) {
    shiftJisSelected = options == "s" || options == "-s";
    return shiftJisSelected;
}

ConvertResult NkfConvert(std::span<std::uint8_t> output, std::span<const std::uint8_t> input) {
    ConvertResult result;
    if (output.empty()) return result;
    output[0] = 0;
    result.from = RecogniseEncoding(input);
    if (!shiftJisSelected) return result;

    // UTF-16 is read whole: its text is full of zero bytes. Everything else ends at the first.
    std::span<const std::uint8_t> text;
    switch (result.from) {
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            text = input.subspan(2);
            break;
        case Encoding::kUtf8:
            text = CutAtZero(input);
            if (detail::EncodingOfByteOrderMark(text)) text = text.subspan(3);
            break;
        default:
            text = CutAtZero(input);
            break;
    }

    // The last byte of the output is kept for the terminating zero.
    const detail::PathResult converted =
        detail::ConvertWithTables(output.first(output.size() - 1), text, result.from);
    result.written = converted.written;
    result.complete = converted.complete;
    output[result.written] = 0;
    return result;
}

}  // namespace nkf
