// RemoveTags on arbitrary text: no crash, no sanitizer report, no hang, and a result that only
// ever shrinks and keeps its line breaks whole.
#include <QString>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "tests/support/small_sizes.h"
#include "window/text/remove_tags.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const QString strText = TextFromInput(data, size);

    // Room kept from one input to the next, which some inputs outgrow.
    const QString strResult = RemoveTags(strText, SmallTextSizes());

    // Every rule and entity replaces a match with something no longer than the match.
    FUZZ_CHECK(strResult.size() <= strText.size());
    // The input's own line breaks are all dropped; the only ones left are the CR LF pairs that
    // line-break tags became.
    FUZZ_CHECK(HasOnlyCrLfBreaks(strResult));
    return 0;
}
