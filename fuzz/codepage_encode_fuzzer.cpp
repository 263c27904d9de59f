// Encoding arbitrary UTF-16 (lone surrogates included) into the code page: the bytes are what
// glibc's CP932 gives one character at a time, the measured length is the length written, an output
// of exactly that size suffices, one byte less stops cleanly, and encoding in two pieces gives the
// same bytes as in one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/codepage/codepage.h"
#include "platform/codepage/plain_cp932.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * sizeof(char16_t));
    const std::span<const char16_t> input(text);

    const std::vector<std::uint8_t> bytes = codepage::EncodeAll(input);
    const std::size_t needed = codepage::EncodedLength(input);
    FUZZ_CHECK(bytes == codepage::plain::Encode(input));
    FUZZ_CHECK(bytes.size() == needed);
    FUZZ_CHECK(needed <= 2 * text.size());

    std::vector<std::uint8_t> exact(needed);
    const codepage::Progress whole = codepage::Encode(input, exact);
    FUZZ_CHECK(whole.read == text.size() && whole.written == needed);
    FUZZ_CHECK(exact == bytes);

    if (needed > 0) {
        std::vector<std::uint8_t> shorter(needed - 1);
        const codepage::Progress part = codepage::Encode(input, shorter);
        FUZZ_CHECK(part.read < text.size() && part.written <= shorter.size());
        FUZZ_CHECK(std::equal(shorter.begin(), shorter.begin() + part.written, bytes.begin()));
        // It stopped at a character: the rest, encoded on its own, completes the bytes.
        const std::vector<std::uint8_t> rest = codepage::EncodeAll(input.subspan(part.read));
        FUZZ_CHECK(part.written + rest.size() == needed);
    }

    if (!text.empty()) {
        const std::size_t split = data[0] % (text.size() + 1);
        std::vector<std::uint8_t> out(needed);
        const codepage::Progress first = codepage::Encode(input.first(split), out, false);
        FUZZ_CHECK(first.read <= split && first.read + 1 >= split);
        const codepage::Progress second =
            codepage::Encode(input.subspan(first.read), std::span(out).subspan(first.written));
        FUZZ_CHECK(first.read + second.read == text.size());
        FUZZ_CHECK(first.written + second.written == needed && out == bytes);
    }

    // Each character, or surrogate pair, decodes back to one unit at most.
    FUZZ_CHECK(codepage::DecodeAll(bytes).size() <= text.size());
    return 0;
}
