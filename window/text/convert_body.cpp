#include "window/text/convert_body.h"

#include <sys/mman.h>

#include <array>
#include <new>
#include <span>
#include <stdexcept>

#include "platform/codepage/codepage.h"
#include "platform/nkf/nkf.h"
#include "window/text/resize_bytes.h"

namespace {

// A buffer of zero bytes straight from the operating system: its pages cost memory only once the
// converter writes into them, so four times the body is affordable on large pages.
class ZeroPages {
public:
    explicit ZeroPages(std::size_t lngLength) : lngLength_(lngLength) {
        void* pbyt =
            mmap(nullptr, lngLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        pbyt_ = pbyt == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(pbyt);
    }
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;
    ~ZeroPages() {
        if (pbyt_ != nullptr) munmap(pbyt_, lngLength_);
    }

    bool Valid() const { return pbyt_ != nullptr; }
    std::span<std::uint8_t> Bytes() const { return {pbyt_, lngLength_}; }

private:
    std::size_t lngLength_;
    std::uint8_t* pbyt_;
};

// Decodes Shift_JIS through the code page and makes every line break CR LF on the way: CR LF, a
// lone LF, a lone CR and U+0001 each become one CR LF, as the three replacement passes would
// (CR LF to U+0001; LF, then CR, to U+0001; U+0001 to CR LF) in a single pass.
QString DecodeWithCrLf(std::span<const std::uint8_t> bytText) {
    // Each byte gives at most one unit and each unit at most two; the unused tail of the
    // allocation is never touched, so it costs no memory, and squeeze() returns it.
    QString strText(static_cast<qsizetype>(bytText.size() * 2), Qt::Uninitialized);
    char16_t* pchOut = reinterpret_cast<char16_t*>(strText.data());
    char16_t* const pchStart = pchOut;
    std::array<char16_t, 16384> strWindow;
    bool blnAfterCr = false;
    while (!bytText.empty()) {
        const codepage::Progress progress = codepage::Decode(bytText, strWindow, true);
        bytText = bytText.subspan(progress.read);
        for (std::size_t i = 0; i < progress.written; ++i) {
            const char16_t ch = strWindow[i];
            if (ch > u'\r') [[likely]] {
                // Above every character the rule touches: most of the text.
                *pchOut++ = ch;
                blnAfterCr = false;
                continue;
            }
            if (ch == u'\n' && blnAfterCr) {
                // The LF of a CR LF whose CR has already become CR LF.
                blnAfterCr = false;
                continue;
            }
            blnAfterCr = ch == u'\r';
            if (ch == u'\r' || ch == u'\n' || ch == u'\x01') {
                *pchOut++ = u'\r';
                *pchOut++ = u'\n';
            } else {
                *pchOut++ = ch;
            }
        }
    }
    strText.resize(pchOut - pchStart);
    strText.squeeze();
    return strText;
}

// The zero-filled buffer of 4 × N + 1 bytes, and the converter run into it with "s". Returns
// the bytes up to and including the converter's terminating zero; past it the buffer holds only
// zeros, so trimming these gives what trimming the whole buffer would, without touching its
// untouched pages, which are handed back on return.
std::vector<std::uint8_t> ConvertToShiftJis(std::span<const std::uint8_t> bytBody,
                                            std::size_t lngSize) {
    ZeroPages bytOutput(4 * lngSize + 1);
    // An empty result would show as an empty page; the failure has to reach the window as one.
    if (!bytOutput.Valid()) throw std::bad_alloc();
    nkf::SetNkfOption("s");
    const nkf::ConvertResult result = nkf::NkfConvert(bytOutput.Bytes(), bytBody);
    // The buffer always has room for the whole page, so a conversion that stopped short failed;
    // the part before the stop must not pass for the page.
    if (!result.complete) throw std::runtime_error("the kanji converter stopped part-way");
    const auto itEnd = bytOutput.Bytes().begin() + static_cast<std::ptrdiff_t>(result.written) + 1;
    return std::vector<std::uint8_t>(bytOutput.Bytes().begin(), itEnd);
}

}  // namespace

QString ConvertBody(const std::vector<std::uint8_t>& body) {
    // N: the body decoded through the code page and encoded back. The code page does it one
    // character at a time, so the decoded text is never kept as a second copy of the page.
    const std::size_t lngSize = codepage::RoundTripLength(body);
    std::vector<std::uint8_t> bytArray = ConvertToShiftJis(body, lngSize);
    ResizeBytes(bytArray);
    return DecodeWithCrLf(bytArray);
}
