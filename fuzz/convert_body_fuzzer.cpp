// ConvertBody on arbitrary bodies: whatever bytes a server sends, the conversion stays within its
// buffers, the text it gives has nothing but CR LF line breaks, and the paths of a long page
// (measured beside, in two halves, decoded in two parts, through a small window) give the same
// text as a short page's.
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tests/support/small_sizes.h"
#include "window/text/convert_body.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool smallSample = UseSmallDetectorSample();
    FUZZ_CHECK(smallSample);
    const std::vector<std::uint8_t> bytBody(data, data + size);
    const QString strText = ConvertBody(bytBody);

    FUZZ_CHECK(HasOnlyCrLfBreaks(strText));
    // The line-break marker used inside the conversion never reaches the window.
    FUZZ_CHECK(!strText.contains(QChar(u'\x01')));
    FUZZ_CHECK(ConvertBody(bytBody, SmallTextSizes()) == strText);
    return 0;
}
