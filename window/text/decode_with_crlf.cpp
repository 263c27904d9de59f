#include "window/text/decode_with_crlf.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <system_error>
#include <thread>

#include "platform/codepage/codepage.h"
#include "window/text/large_pages.h"

namespace {

// DecodeWithCrLf into `pchOut`, for a text or a part of one that starts with no CR LF pending.
// Returns the number of units written: at most two for each byte.
std::size_t DecodeRunWithCrLf(std::span<const std::uint8_t> bytText, char16_t* pchOut,
                              std::size_t lngWindow) {
    char16_t* const pchStart = pchOut;
    std::array<char16_t, 16384> strBuffer;
    const std::span<char16_t> strWindow =
        std::span(strBuffer).first(std::clamp<std::size_t>(lngWindow, 1, strBuffer.size()));
    bool blnAfterCr = false;
    while (!bytText.empty()) {
        const codepage::Progress progress = codepage::Decode(bytText, strWindow, true);
        bytText = bytText.subspan(progress.read);
        for (std::size_t i = 0; i < progress.written; ++i) {
#if defined(__SSE2__)
            // Not at an LF right after a CR: that LF gives no unit, and the eight stored could
            // then reach one past this part's text, into the part decoded beside it.
            if (!blnAfterCr && progress.written - i >= 8) {
                // Eight units at a time while none is one the rule touches (all are above CR):
                // subtracting CR with saturation leaves zero just for the units up to CR, there
                // being no unsigned compare before SSE4.1.
                const __m128i units =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(strWindow.data() + i));
                const __m128i touched = _mm_cmpeq_epi16(
                    _mm_subs_epu16(units, _mm_set1_epi16(u'\r')), _mm_setzero_si128());
                const unsigned lngMask = static_cast<unsigned>(_mm_movemask_epi8(touched));
                // Stored whole either way: the units before the first one the rule touches are
                // kept, and the rest written over. With no CR just before them, the eight give at
                // least eight units of this part's text (an LF gives none only after a CR among
                // them, which gives two), so none lands past it.
                _mm_storeu_si128(reinterpret_cast<__m128i*>(pchOut), units);
                const std::size_t lngKept = lngMask == 0 ? 8 : std::countr_zero(lngMask) / 2;
                if (lngKept > 0) {
                    pchOut += lngKept;
                    i += lngKept - 1;
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
    return static_cast<std::size_t>(pchOut - pchStart);
}

// Where to cut `bytText` in two so that each part decodes alone as it would in place: right after
// a byte that is a character of its own, and not a CR, so that the second part starts with no CR
// LF pending. The second thread first counts the first part, so the first part is the larger.
// Returns 0 when no such byte is near enough.
std::size_t FindBorder(std::span<const std::uint8_t> bytText, std::size_t lngSearch) {
    std::size_t lngBorder = std::max<std::size_t>(bytText.size() / 3 * 2, 1);
    const std::size_t lngLimit = std::min(bytText.size(), lngBorder + lngSearch);
    for (; lngBorder < lngLimit; ++lngBorder) {
        const std::uint8_t b = bytText[lngBorder - 1];
        if (codepage::IsCp932SequenceOfItsOwn(b) && b != '\r') return lngBorder;
    }
    return 0;
}

}  // namespace

// CR, LF and U+0001 are bytes of their own in Shift_JIS, never part of a two-byte character.
std::size_t DecodedLengthWithCrLf(std::span<const std::uint8_t> bytText) {
    std::size_t lngLength = codepage::DecodedLength(bytText);
    bool blnAfterCr = false;
    for (std::size_t i = 0; i < bytText.size(); ++i) {
#if defined(__SSE2__)
        if (bytText.size() - i >= 16) {
            // Sixteen at a time while none is a byte the rule touches.
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytText.data() + i));
            const __m128i touched =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                          _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
                             _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\x01')));
            // Straight on to the first byte the rule touches.
            const unsigned lngMask = static_cast<unsigned>(_mm_movemask_epi8(touched));
            const std::size_t lngSkip = lngMask == 0 ? 16 : std::countr_zero(lngMask);
            if (lngSkip > 0) {
                i += lngSkip - 1;
                blnAfterCr = false;
                continue;
            }
        }
#endif
        const std::uint8_t b = bytText[i];
        if (b > '\r') [[likely]] {
            blnAfterCr = false;
            continue;
        }
        if (b == '\n' && blnAfterCr) {
            // A CR LF was two units and stays two: take back what its CR added.
            --lngLength;
        } else if (b == '\r' || b == '\n' || b == '\x01') {
            ++lngLength;
        }
        blnAfterCr = b == '\r';
    }
    return lngLength;
}

// A text of a megabyte is decoded in two parts at once; below it, a second thread costs more
// than it saves.
QString DecodeWithCrLf(std::span<const std::uint8_t> bytText, const TextSizes& udtSizes) {
    // Each byte gives at most one unit and each unit at most two. The unused tail of the
    // allocation is never touched, so it costs no memory; shrinking it would copy the text.
    QString strText(static_cast<qsizetype>(bytText.size() * 2), Qt::Uninitialized);
    char16_t* pchOut = reinterpret_cast<char16_t*>(strText.data());
    AdviseLargePages(pchOut, static_cast<std::size_t>(strText.size()) * sizeof(char16_t));
    // Two bytes give at least one unit: that much of a part is surely written.
    auto Prefault = [](char16_t* pch, std::span<const std::uint8_t> bytPart) {
        PrefaultPages(pch, bytPart.size() / 2 * sizeof(char16_t));
    };
    const std::size_t lngBorder = bytText.size() >= udtSizes.lngTwoPartsFrom
                                      ? FindBorder(bytText, udtSizes.lngBorderSearch)
                                      : 0;
    if (lngBorder != 0) {
        // The second part goes where the first will end, which a count finds sooner than the
        // decoding does.
        const std::span<const std::uint8_t> bytFirst = bytText.first(lngBorder);
        const std::span<const std::uint8_t> bytSecond = bytText.subspan(lngBorder);
        std::size_t lngFirst = 0;
        std::size_t lngSecond = 0;
        try {
            std::jthread thdSecond([&] {
                lngFirst = DecodedLengthWithCrLf(bytFirst);
                Prefault(pchOut + lngFirst, bytSecond);
                lngSecond =
                    DecodeRunWithCrLf(bytSecond, pchOut + lngFirst, udtSizes.lngDecodeWindow);
            });
            Prefault(pchOut, bytFirst);
            const std::size_t lngWritten =
                DecodeRunWithCrLf(bytFirst, pchOut, udtSizes.lngDecodeWindow);
            thdSecond.join();
            if (lngWritten == lngFirst) {
                strText.resize(static_cast<qsizetype>(lngFirst + lngSecond));
                return strText;
            }
            // The count and the decoding disagree, which they never should: decode again in one
            // go rather than show a text with a seam in it.
        } catch (const std::system_error&) {
            // No thread to be had: in one go, then.
        }
    }
    Prefault(pchOut, bytText);
    strText.resize(
        static_cast<qsizetype>(DecodeRunWithCrLf(bytText, pchOut, udtSizes.lngDecodeWindow)));
    return strText;
}
