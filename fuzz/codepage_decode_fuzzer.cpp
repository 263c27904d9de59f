// Decoding arbitrary bytes through the code page: the text is what glibc's CP932 gives one sequence
// at a time, the output bound holds exactly, the count of units and the round-trip length (in one
// go and in two halves) agree with the decoding, decoding in two pieces gives the same text as in
// one, and a clean text survives a trip through the encoder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/codepage/codepage.h"
#include "platform/codepage/plain_cp932.h"
#include "tests/support/small_sizes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const std::u16string text = codepage::DecodeAll(input);
    FUZZ_CHECK(text.size() <= size);
    FUZZ_CHECK(text == codepage::plain::Decode(input));
    FUZZ_CHECK(codepage::DecodedLength(input) == text.size());
    const std::size_t lngRoundTrip = codepage::plain::Encode(text).size();
    FUZZ_CHECK(codepage::RoundTripLength(input) == lngRoundTrip);
    FUZZ_CHECK(codepage::RoundTripLength(input, kSmallHalves) == lngRoundTrip);

    // One output unit per input byte always suffices; the buffer is allocated to that exact size
    // so that a write past it is a sanitizer report.
    std::vector<char16_t> exact(size);
    const codepage::Progress whole = codepage::Decode(input, exact);
    FUZZ_CHECK(whole.read == size);
    FUZZ_CHECK(std::u16string(exact.data(), whole.written) == text);

    // One unit short: stops early and cleanly, with what it wrote a prefix of the whole text.
    if (size > 0) {
        std::vector<char16_t> shorter(size - 1);
        const codepage::Progress part = codepage::Decode(input, shorter);
        FUZZ_CHECK(part.read <= size && part.written <= shorter.size());
        FUZZ_CHECK(std::u16string(shorter.data(), part.written) == text.substr(0, part.written));
    }

    // In two pieces, split where the first byte says: a lead byte left over at the end of the
    // first piece is carried into the second.
    if (size > 0) {
        const std::size_t split = data[0] % (size + 1);
        std::vector<char16_t> out(size);
        const codepage::Progress first = codepage::Decode(input.first(split), out, /*final=*/false);
        FUZZ_CHECK(first.read <= split && first.read + 1 >= split);
        const codepage::Progress second =
            codepage::Decode(input.subspan(first.read), std::span(out).subspan(first.written));
        FUZZ_CHECK(first.read + second.read == size);
        FUZZ_CHECK(std::u16string(out.data(), first.written + second.written) == text);
    }

    const bool clean = text.find(codepage::kDecodeReplacement) == std::u16string::npos;
    FUZZ_CHECK(codepage::DecodesCleanly(input) == clean);
    if (clean) {
        // Every character that came out of the code page goes back into it.
        const std::vector<std::uint8_t> bytes = codepage::EncodeAll(text);
        FUZZ_CHECK(codepage::DecodeAll(bytes) == text);
    }
    return 0;
}
