// RemoveTags on arbitrary text: no crash, no sanitizer report, no hang, and a result that only
// ever shrinks and keeps its line breaks whole.
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "window/text/remove_tags.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses how the rest becomes text: UTF-8 reaches tags and entities quickly;
    // raw UTF-16 code units also bring lone surrogates and characters the page decoding never
    // makes.
    QString strText;
    if (data[0] & 1) {
        strText = QString::fromUtf8(reinterpret_cast<const char*>(data + 1),
                                    static_cast<qsizetype>(size - 1));
    } else {
        std::u16string units((size - 1) / 2, u'\0');
        std::memcpy(units.data(), data + 1, units.size() * sizeof(char16_t));
        strText = QString::fromStdU16String(units);
    }

    const QString strResult = RemoveTags(strText);

    // Every rule and entity replaces a match with something no longer than the match.
    FUZZ_CHECK(strResult.size() <= strText.size());
    // The input's own line breaks are all dropped; the only ones left are the CR LF pairs that
    // line-break tags became.
    FUZZ_CHECK(HasOnlyCrLfBreaks(strResult));
    return 0;
}
