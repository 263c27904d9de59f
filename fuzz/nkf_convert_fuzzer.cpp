// The kanji converter on arbitrary bytes: the recognition always answers, the conversion fits in
// the window's 4 x N + 1 bytes, an output of exactly the size it needs suffices, and one byte less
// gives a clean, terminated prefix of whole characters without a write past the end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/codepage/codepage.h"
#include "platform/nkf/nkf.h"
#include "tests/support/small_sizes.h"

namespace {

// Fills the buffer with a byte the converter never leaves behind, so a missing terminator shows.
constexpr std::uint8_t kFill = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool selected = nkf::SetNkfOption("s");
    static const bool smallSample = UseSmallDetectorSample();
    FUZZ_CHECK(smallSample);
    FUZZ_CHECK(selected);
    const std::span<const std::uint8_t> input(data, size);

    const nkf::Encoding from = nkf::RecogniseEncoding(input);

    // The window's buffer: four times the body's length measured through the code page, plus one,
    // measured as the window measures a long page.
    const std::size_t lngSize = codepage::RoundTripLength(input, kSmallHalves);
    FUZZ_CHECK(lngSize == codepage::EncodedLength(codepage::DecodeAll(input)));
    std::vector<std::uint8_t> roomy(4 * lngSize + 1, kFill);
    const nkf::ConvertResult full = nkf::NkfConvert(roomy, input);
    FUZZ_CHECK(full.complete);
    FUZZ_CHECK(full.from == from);
    FUZZ_CHECK(full.written < roomy.size() && roomy[full.written] == 0);

    // Exactly the size needed: the same bytes and the terminator in the last place.
    const std::size_t needed = full.written + 1;
    std::vector<std::uint8_t> exact(needed, kFill);
    const nkf::ConvertResult fits = nkf::NkfConvert(exact, input);
    FUZZ_CHECK(fits.complete && fits.written == full.written);
    FUZZ_CHECK(std::equal(exact.begin(), exact.end(), roomy.begin()));

    // One byte less: incomplete, terminated inside the buffer, and a prefix that ends between
    // characters (so it decodes to a prefix of the full text).
    std::vector<std::uint8_t> shorter(needed - 1, kFill);
    const nkf::ConvertResult cut = nkf::NkfConvert(shorter, input);
    FUZZ_CHECK(!cut.complete);
    if (!shorter.empty()) {
        FUZZ_CHECK(cut.written < shorter.size() && shorter[cut.written] == 0);
        FUZZ_CHECK(std::equal(shorter.begin(), shorter.begin() + cut.written, roomy.begin()));
        const std::u16string whole = codepage::DecodeAll(std::span(roomy).first(full.written));
        const std::u16string prefix = codepage::DecodeAll(std::span(shorter).first(cut.written));
        FUZZ_CHECK(whole.compare(0, prefix.size(), prefix) == 0);
    }
    return 0;
}
