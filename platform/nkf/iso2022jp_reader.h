#pragma once

// ISO-2022-JP re-read as EUC-JP, so that both ways of converting it (the table-driven one and the
// iconv reference) read one stateless encoding and share this one reader of the escapes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/codepage/byte_rules.h"

namespace nkf::detail {

// How much EUC-JP the converters ask the reader for at a time. Both ways of converting read the
// same pieces, since a bad stretch at the end of a piece is read as ending there.
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
                if (!ReadEscape(out, o)) break;
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

private:
    enum class Set { kAscii, kKatakana, kKanji, kSupplementary };
    static constexpr std::uint8_t kBad = 0xFF;
    static constexpr std::uint8_t kEsc = 0x1B;

    // Returns false, reading nothing, for a switch between JIS X 0208 and 0213 after `out` has
    // characters read under the other.
    bool ReadEscape(std::span<std::uint8_t> out, std::size_t& o) {
        const std::span<const std::uint8_t> rest = input_.subspan(pos_);
        auto at = [&](std::size_t k) -> int { return k < rest.size() ? rest[k] : -1; };
        const auto kanji = [&](bool jisX0213) {
            if (o > 0 && jisX0213 != jisX0213_) return false;
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
            if (!kanji(false)) return false;
            length = 3;
        } else if (at(1) == '$' && at(2) == '(' && at(3) == 'B') {
            if (!kanji(false)) return false;
            length = 4;
        } else if (at(1) == '$' && at(2) == '(' && (at(3) == 'O' || at(3) == 'Q')) {
            // JIS X 0213 plane 1 holds JIS X 0208. The cells it adds are read as EUC-JP-MS reads
            // those codes (the user rows as user-defined characters), not as its own characters.
            if (!kanji(true)) return false;
            length = 4;
        } else if (at(1) == '$' && at(2) == '(' && at(3) == 'D') {
            set_ = Set::kSupplementary;
            length = 4;
        } else if (at(1) == '&' && at(2) == '@') {
            // Announces the 1990 edition; the ESC $ B that follows designates the set.
            length = 3;
        }
        if (length == 0) {
            out[o++] = kBad;
            length = 1;
        }
        pos_ += length;
        return true;
    }

    std::span<const std::uint8_t> input_;
    std::size_t pos_ = 0;
    Set set_ = Set::kAscii;
    bool jisX0213_ = false;  // the kanji set last designated is JIS X 0213's plane 1
    bool shiftOut_ = false;
};

}  // namespace nkf::detail
