#pragma once

// ISO-2022-JP re-read as EUC-JP, so that both ways of converting it (the table-driven one and the
// iconv reference) read one stateless encoding and share this one reader of the escapes.

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/codepage/byte_rules.h"

namespace nkf::detail {

// How much EUC-JP the reference asks the reader for at a time. Every character is written whole
// and its EUC-JP reads as itself whatever comes around it, so the pieces it is read in make no
// difference to the conversion.
inline constexpr std::size_t kIso2022JpPiece = 16384;

// Re-reads ISO-2022-JP as EUC-JP, one whole character at a time. A byte that fits no character
// becomes 0xFF, which the EUC-JP reader then turns into one "〓".
class Iso2022JpReader {
public:
    explicit Iso2022JpReader(std::span<const std::uint8_t> input) : input_(input) {}

    bool Done() const { return pos_ == input_.size(); }

    // Whether rows 89-92 of what the last Read wrote are the NEC-selected IBM extension characters,
    // as in JIS X 0208; JIS X 0213 has characters of its own there.
    bool ExtensionRowsAreNecSelected() const { return !jisX0213_; }

    // Fills `out` with as many whole characters as fit, all read under the one kanji set (JIS X
    // 0208 or 0213); returns the bytes written.
    std::size_t Read(std::span<std::uint8_t> out) {
        std::size_t o = 0;
        while (pos_ < input_.size() && out.size() - o >= 3) {
            // The common cases first, in tight loops: kanji pairs, and plain ASCII.
            if (set_ == Set::kKanji && !shiftOut_) {
                while (input_.size() - pos_ >= 2 && out.size() - o >= 2 &&
                       codepage::IsJisByte(input_[pos_]) && codepage::IsJisByte(input_[pos_ + 1])) {
                    out[o++] = static_cast<std::uint8_t>(input_[pos_] | 0x80);
                    out[o++] = static_cast<std::uint8_t>(input_[pos_ + 1] | 0x80);
                    pos_ += 2;
                }
            } else if (set_ == Set::kAscii && !shiftOut_) {
                while (pos_ < input_.size() && o < out.size() && input_[pos_] >= 0x10 &&
                       input_[pos_] <= 0x7F && input_[pos_] != kEsc) {
                    out[o++] = input_[pos_++];
                }
            }
            if (pos_ == input_.size() || out.size() - o < 3) break;
            const std::uint8_t b = input_[pos_];
            if (b == kEsc) {
                const Escape escape = ReadEscape(o > 0);
                if (escape == Escape::kSwitch) break;
                if (escape == Escape::kUnknown) {
                    out[o++] = kBad;
                    ++pos_;
                }
            } else if (b == 0x0E || b == 0x0F) {
                shiftOut_ = b == 0x0E;
                ++pos_;
            } else if (b >= 0x80) {
                out[o++] = kBad;
                ++pos_;
            } else if (b <= 0x20 || b == 0x7F) {
                // Line breaks and spaces often sit inside a kanji run without a shift back.
                out[o++] = b;
                ++pos_;
            } else if (shiftOut_ || set_ == Set::kKatakana) {
                if (b <= 0x5F) {
                    out[o++] = 0x8E;
                    out[o++] = static_cast<std::uint8_t>(b | 0x80);
                } else {
                    out[o++] = kBad;
                }
                ++pos_;
            } else if (set_ == Set::kKanji || set_ == Set::kSupplementary) {
                if (pos_ + 1 < input_.size() && codepage::IsJisByte(input_[pos_ + 1])) {
                    if (set_ == Set::kSupplementary) out[o++] = 0x8F;
                    out[o++] = static_cast<std::uint8_t>(b | 0x80);
                    out[o++] = static_cast<std::uint8_t>(input_[pos_ + 1] | 0x80);
                    pos_ += 2;
                } else {
                    out[o++] = kBad;
                    ++pos_;
                }
            } else {
                out[o++] = b;
                ++pos_;
            }
        }
        return o;
    }

    // The fast way, for the table-driven conversion: the common stretches read in place, which
    // Read turns into the same EUC-JP byte for byte. Each Take reads from the reading position
    // and moves past what it took, and takes nothing in any other state; Read reads on from
    // wherever they stopped.

    // The escape sequences that designate a set, and the shift bytes: they write nothing.
    void TakeSwitches() {
        while (pos_ < input_.size()) {
            const std::uint8_t b = input_[pos_];
            if (b == 0x0E || b == 0x0F) {
                shiftOut_ = b == 0x0E;
                ++pos_;
            } else if (b != kEsc || ReadEscape(false) != Escape::kDesignation) {
                return;
            }
        }
    }

    // While a kanji set is designated and not shifted out, the pairs of JIS bytes that follow
    // one another, at most `maxPairs` of them. ExtensionRowsAreNecSelected says how to read them.
    std::span<const std::uint8_t> TakeKanjiPairs(std::size_t maxPairs) {
        const std::size_t start = pos_;
        if (set_ == Set::kKanji && !shiftOut_) {
            const std::size_t last = start + 2 * std::min(maxPairs, (input_.size() - start) / 2);
            std::size_t end = start;
#if defined(__SSE2__)
            // Sixteen at a time: JIS bytes are 21-7E, as signed bytes those above 20 and below
            // 7F (the upper half is negative). A block that is not all of them ends the run at its
            // first other byte, rounded down to a whole pair.
            while (last - end >= 16) {
                const __m128i bytes =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(input_.data() + end));
                const __m128i jis = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x20)),
                                                  _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x7F)));
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(jis));
                if (mask != 0xFFFF) {
                    pos_ = end + (std::countr_one(mask) & ~1U);
                    return input_.subspan(start, pos_ - start);
                }
                end += 16;
            }
#endif
            while (end != last && codepage::IsJisByte(input_[end]) &&
                   codepage::IsJisByte(input_[end + 1])) {
                end += 2;
            }
            pos_ = end;
        }
        return input_.subspan(start, pos_ - start);
    }

    // The bytes that stand for themselves, at most `max` of them: while ASCII is designated and
    // not shifted out, any but the escape and the shift bytes; otherwise the controls and the
    // space (below 21, but those three) and 7F.
    std::span<const std::uint8_t> TakeAsIs(std::size_t max) {
        const std::size_t start = pos_;
        const std::size_t last = start + std::min(max, input_.size() - start);
        std::size_t end = start;
        if (set_ == Set::kAscii && !shiftOut_) {
#if defined(__SSE2__)
            // Sixteen at a time, as for the kanji: as signed bytes, the ASCII ones are not
            // negative.
            while (last - end >= 16) {
                const __m128i bytes =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(input_.data() + end));
                const __m128i other =
                    _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(bytes, _mm_setzero_si128()),
                                              _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEsc))),
                                 _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x0E)),
                                              _mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x0F))));
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(other));
                if (mask != 0) {
                    pos_ = end + std::countr_zero(mask);
                    return input_.subspan(start, pos_ - start);
                }
                end += 16;
            }
#endif
            while (end != last && input_[end] <= 0x7F && !IsSwitch(input_[end])) ++end;
        } else {
            while (end != last && (input_[end] <= 0x20 || input_[end] == 0x7F) &&
                   !IsSwitch(input_[end])) {
                ++end;
            }
        }
        pos_ = end;
        return input_.subspan(start, pos_ - start);
    }

    // While half-width katakana are designated or shifted out, the bytes that stand for them
    // (21-5F), at most `max` of them; each is the EUC-JP katakana byte with the top bit clear.
    std::span<const std::uint8_t> TakeKatakana(std::size_t max) {
        const std::size_t start = pos_;
        if (set_ == Set::kKatakana || shiftOut_) {
            const std::size_t last = start + std::min(max, input_.size() - start);
            std::size_t end = start;
            while (end != last && input_[end] >= 0x21 && input_[end] <= 0x5F) ++end;
            pos_ = end;
        }
        return input_.subspan(start, pos_ - start);
    }

private:
    enum class Set { kAscii, kKatakana, kKanji, kSupplementary };
    static constexpr std::uint8_t kBad = 0xFF;
    static constexpr std::uint8_t kEsc = 0x1B;

    static constexpr bool IsSwitch(std::uint8_t b) {
        return b == kEsc || b == 0x0E || b == 0x0F;
    }

    enum class Escape {
        kDesignation,  // read: it designates a set, or announces the 1990 edition
        kUnknown,      // not read: no escape sequence the reader knows
        kSwitch,       // not read: a switch between JIS X 0208 and 0213 refused
    };

    // Reads the escape sequence at the reading position when it designates a set. With `midPiece`,
    // a switch between JIS X 0208 and 0213 is refused, since the piece has characters read under
    // the other.
    Escape ReadEscape(bool midPiece) {
        const std::span<const std::uint8_t> rest = input_.subspan(pos_);
        auto at = [&](std::size_t k) -> int { return k < rest.size() ? rest[k] : -1; };
        const auto kanji = [&](bool jisX0213) {
            if (midPiece && jisX0213 != jisX0213_) return false;
            set_ = Set::kKanji;
            jisX0213_ = jisX0213;
            return true;
        };
        std::size_t length = 0;
        if (at(1) == '(' && (at(2) == 'B' || at(2) == 'J' || at(2) == 'H')) {
            set_ = Set::kAscii;
            length = 3;
        } else if (at(1) == '(' && at(2) == 'I') {
            set_ = Set::kKatakana;
            length = 3;
        } else if (at(1) == '$' && (at(2) == '@' || at(2) == 'B')) {
            if (!kanji(false)) return Escape::kSwitch;
            length = 3;
        } else if (at(1) == '$' && at(2) == '(' && at(3) == 'B') {
            if (!kanji(false)) return Escape::kSwitch;
            length = 4;
        } else if (at(1) == '$' && at(2) == '(' && (at(3) == 'O' || at(3) == 'Q')) {
            // JIS X 0213 plane 1 holds JIS X 0208. The cells it adds are read as EUC-JP-MS reads
            // those codes (the user rows as user-defined characters), not as its own characters.
            if (!kanji(true)) return Escape::kSwitch;
            length = 4;
        } else if (at(1) == '$' && at(2) == '(' && at(3) == 'D') {
            set_ = Set::kSupplementary;
            length = 4;
        } else if (at(1) == '&' && at(2) == '@') {
            // Announces the 1990 edition; the ESC $ B that follows designates the set.
            length = 3;
        }
        if (length == 0) return Escape::kUnknown;
        pos_ += length;
        return Escape::kDesignation;
    }

    std::span<const std::uint8_t> input_;
    std::size_t pos_ = 0;
    Set set_ = Set::kAscii;
    bool jisX0213_ = false;  // the kanji set last designated is JIS X 0213's plane 1
    bool shiftOut_ = false;
};

}  // namespace nkf::detail
