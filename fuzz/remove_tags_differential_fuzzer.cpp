// RemoveTags against its plain version (each rule one replace-all by RE2) on arbitrary text: the
// same text, whether it works in kept room or in room of its own.
#include <QString>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "tests/support/small_sizes.h"
#include "window/text/remove_tags.h"
#include "window/text/remove_tags_plain.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString strText = TextFromInput(data, size);
    const QString strExpected = RemoveTagsPlain(strText);
    FUZZ_CHECK(RemoveTags(strText, SmallTextSizes()) == strExpected);
    FUZZ_CHECK(RemoveTags(strText) == strExpected);
    return 0;
}
