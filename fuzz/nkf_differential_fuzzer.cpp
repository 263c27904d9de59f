// The table-driven conversion against its iconv reference, on arbitrary bytes read in each encoding
// the tables serve: the same bytes, the same count and the same answer to whether all fit, both
// with room for everything and in an output cut short anywhere. Then the converter as the window
// calls it, whose recognition converts UTF-8 and EUC-JP while it finds out whether the text is in
// them, against the reference in the encoding it recognised.
//
// Input: a first byte picking the encoding (Shift_JIS, EUC-JP, ISO-2022-JP, UTF-8, by its value
// modulo 4), a second giving the cut-short output's share of the whole (in 255ths), then the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/nkf/iconv_path.h"
#include "platform/nkf/nkf.h"
#include "platform/nkf/recognise.h"
#include "platform/nkf/table_path.h"
#include "tests/support/small_sizes.h"

namespace {

constexpr nkf::Encoding kEncodings[] = {nkf::Encoding::kShiftJis, nkf::Encoding::kEucJp,
                                        nkf::Encoding::kIso2022Jp, nkf::Encoding::kUtf8};
constexpr std::uint8_t kFill = 0xA5;

void Compare(std::size_t capacity, std::span<const std::uint8_t> text, nkf::Encoding from) {
    std::vector<std::uint8_t> reference(capacity, kFill);
    std::vector<std::uint8_t> tables(capacity, kFill);
    const nkf::detail::PathResult expected =
        nkf::detail::ConvertThroughIconv(reference, text, from);
    const nkf::detail::PathResult actual = nkf::detail::ConvertWithTables(tables, text, from);
    FUZZ_CHECK(actual.written == expected.written);
    FUZZ_CHECK(actual.complete == expected.complete);
    // Past the count iconv may leave part of a character that did not fit; only the count says.
    FUZZ_CHECK(std::equal(tables.begin(), tables.begin() + actual.written, reference.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const nkf::Encoding from = kEncodings[data[0] % 4];
    FUZZ_CHECK(nkf::detail::HasTables(from));
    const std::span<const std::uint8_t> text(data + 2, size - 2);

    // Every character gives at most two bytes and every bad byte one "〓".
    const std::size_t roomy = 2 * text.size();
    std::vector<std::uint8_t> whole(roomy);
    const nkf::detail::PathResult all = nkf::detail::ConvertThroughIconv(whole, text, from);
    FUZZ_CHECK(all.complete);
    Compare(roomy, text, from);
    Compare(all.written * data[1] / 255, text, from);

    static const bool selected = nkf::SetNkfOption("s");
    static const bool smallSample = UseSmallDetectorSample();
    FUZZ_CHECK(smallSample);
    FUZZ_CHECK(selected);
    std::vector<std::uint8_t> converted(roomy + 1);
    const nkf::ConvertResult result = nkf::NkfConvert(converted, text);
    // Without a byte-order mark the converter reads up to the first zero byte.
    if (!nkf::detail::EncodingOfByteOrderMark(text)) {
        const std::span<const std::uint8_t> cut =
            text.first(std::find(text.begin(), text.end(), 0) - text.begin());
        std::vector<std::uint8_t> reference(roomy);
        const nkf::detail::PathResult expected =
            nkf::detail::ConvertThroughIconv(reference, cut, result.from);
        FUZZ_CHECK(result.complete == expected.complete && result.written == expected.written);
        FUZZ_CHECK(
            std::equal(converted.begin(), converted.begin() + result.written, reference.begin()));
    }
    return 0;
}
