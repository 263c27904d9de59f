#include "window/text/convert_body.h"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>

#include "platform/codepage/codepage.h"
#include "platform/nkf/nkf.h"
#include "window/text/large_pages.h"
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
        if (pbyt_ != nullptr) AdviseLargePages(pbyt_, lngLength);
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
    // Each byte gives at most one unit and each unit at most two. The unused tail of the
    // allocation is never touched, so it costs no memory; shrinking it would copy the text.
    QString strText(static_cast<qsizetype>(bytText.size() * 2), Qt::Uninitialized);
    char16_t* pchOut = reinterpret_cast<char16_t*>(strText.data());
    AdviseLargePages(pchOut, static_cast<std::size_t>(strText.size()) * sizeof(char16_t));
    // Two bytes give at least one unit: that much of the text is surely written.
    PrefaultPages(pchOut, bytText.size() / 2 * sizeof(char16_t));
    char16_t* const pchStart = pchOut;
    std::array<char16_t, 16384> strWindow;
    bool blnAfterCr = false;
    while (!bytText.empty()) {
        const codepage::Progress progress = codepage::Decode(bytText, strWindow, true);
        bytText = bytText.subspan(progress.read);
        for (std::size_t i = 0; i < progress.written; ++i) {
#if defined(__SSE2__)
            if (progress.written - i >= 8) {
                // Eight units at a time while none is one the rule touches (all are above CR).
                const __m128i units =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(strWindow.data() + i));
                const __m128i touched = _mm_cmpeq_epi16(
                    _mm_subs_epu16(units, _mm_set1_epi16(u'\r')), _mm_setzero_si128());
                if (_mm_movemask_epi8(touched) == 0) {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(pchOut), units);
                    pchOut += 8;
                    i += 7;
                    blnAfterCr = false;
                    continue;
                }
            }
#endif
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
    return strText;
}

}  // namespace

QString ConvertBody(const std::vector<std::uint8_t>& body) {
    // N: the body decoded through the code page and encoded back. The code page does it one
    // character at a time, so the decoded text is never kept as a second copy of the page.
    const std::size_t lngSize = codepage::RoundTripLength(body);
    ZeroPages bytOutput(4 * lngSize + 1);
    // An empty result would show as an empty page; the failure has to reach the window as one.
    if (!bytOutput.Valid()) throw std::bad_alloc();
    // The Shift_JIS is hardly ever shorter than half the body: that much is surely written.
    PrefaultPages(bytOutput.Bytes().data(), lngSize / 2);
    nkf::SetNkfOption("s");
    const nkf::ConvertResult result = nkf::NkfConvert(bytOutput.Bytes(), body);
    // The buffer always has room for the whole page, so a conversion that stopped short failed;
    // the part before the stop must not pass for the page.
    if (!result.complete) throw std::runtime_error("the kanji converter stopped part-way");
    // Past the converter's terminating zero the buffer holds only zeros, so trimming up to it
    // gives what trimming the whole buffer would, without touching the pages beyond.
    std::span<std::uint8_t> bytArray = bytOutput.Bytes().first(result.written + 1);
    ResizeBytes(bytArray);
    return DecodeWithCrLf(bytArray);
}
