#include "platform/nkf/nkf.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <type_traits>

#include "platform/codepage/codepage.h"
#include "platform/codepage/iconv_handle.h"
#include "platform/nkf/recognise.h"

namespace nkf {
namespace {

using codepage::IconvHandle;
using codepage::OpenIconv;

thread_local bool shiftJisSelected = false;

constexpr std::uint8_t kEsc = 0x1B;
constexpr wchar_t kGeta = L'\u3013';  // 〓, what a character that cannot be shown becomes
static_assert(sizeof(wchar_t) == 4, "the converter hands iconv UCS-4 as wchar_t");

std::span<const std::uint8_t> CutAtZero(std::span<const std::uint8_t> input) {
    if (input.empty()) return input;  // memchr must not see the null pointer of an empty span
    const void* zero = std::memchr(input.data(), 0, input.size());
    if (zero == nullptr) return input;
    return input.first(static_cast<const std::uint8_t*>(zero) - input.data());
}

// The name iconv reads each encoding by. ISO-2022-JP is first turned into EUC-JP by
// Iso2022JpReader, because glibc's reader knows neither its half-width katakana nor the 1990
// edition's announcer, and because a stateless reader lets the error loop skip a bad sequence
// without losing track of the shift state.
const char* IconvName(Encoding encoding) {
    switch (encoding) {
        case Encoding::kShiftJis:
            return "CP932";
        case Encoding::kEucJp:
        case Encoding::kIso2022Jp:
            return "EUC-JP-MS";
        case Encoding::kUtf8:
            return "UTF-8";
        case Encoding::kUtf16Le:
            return "UTF-16LE";
        case Encoding::kUtf16Be:
            return "UTF-16BE";
    }
    return "CP932";
}

// Rows 89-92 of EUC-JP, and of JIS X 0208 in ISO-2022-JP, hold the NEC-selected IBM extension
// characters as Windows and every browser read them: the cells CP932 has at ED40-EEFC by the
// ordinary Shift_JIS arithmetic. EUC-JP-MS reads the rows as user-defined characters instead,
// U+E178 onwards. Between the two steps each becomes its CP932 code carried past Unicode: the
// encoder refuses such a value and the error loop writes the code as it is. Handed the character
// itself, the encoder would write its IBM duplicate (FA40-FC4B) rather than the code of the cell.
constexpr wchar_t kFirstExtensionRow = 0xE178;  // row 89, cell 1, as EUC-JP-MS reads it
constexpr wchar_t kCarriesCode = 0x110000;

constexpr std::uint16_t ShiftJisCode(int row, int cell) {
    const int lead = (row + 1) / 2 + (row <= 62 ? 0x80 : 0xC0);
    const int trail = row % 2 == 1 ? cell + (cell <= 63 ? 0x3F : 0x40) : cell + 0x9E;
    return static_cast<std::uint16_t>(lead << 8 | trail);
}

// What the second step is handed for each cell of rows 89-92. CP932 leaves row 92 cells 79 and 80
// (EEED, EEEE) empty: those keep the user-defined character, as every cell of the other user rows
// does.
constexpr auto kExtensionRows = [] {
    std::array<wchar_t, 4 * 94> carried{};
    for (int k = 0; k < static_cast<int>(carried.size()); ++k) {
        const int row = 89 + k / 94;
        const int cell = 1 + k % 94;
        const bool empty = row == 92 && (cell == 79 || cell == 80);
        carried[k] = empty ? kFirstExtensionRow + k : kCarriesCode + ShiftJisCode(row, cell);
    }
    return carried;
}();

bool IsExtensionRow(wchar_t c) {
    return static_cast<std::uint32_t>(c - kFirstExtensionRow) < kExtensionRows.size();
}

void CarryExtensionRows(std::span<wchar_t> wide) {
    // Every EUC-JP character passes here and almost none is in the rows: a block is first looked
    // at whole, in a loop without branches that the compiler turns into vector code.
    constexpr std::size_t kBlock = 64;
    std::size_t i = 0;
    while (i < wide.size()) {
        const std::size_t length = std::min(kBlock, wide.size() - i);
        unsigned hits = 0;
        if (length == kBlock) {
            for (std::size_t k = 0; k < kBlock; ++k) hits |= IsExtensionRow(wide[i + k]) ? 1 : 0;
        }
        if (length < kBlock || hits != 0) {
            for (wchar_t& c : wide.subspan(i, length)) {
                if (IsExtensionRow(c)) c = kExtensionRows[c - kFirstExtensionRow];
            }
        }
        i += length;
    }
}

// How many bytes at the start of `rest` make up the invalid sequence iconv stopped at, so that the
// whole of it, and no more, becomes one "〓".
std::size_t BadSequenceLength(Encoding encoding, std::span<const std::uint8_t> rest) {
    switch (encoding) {
        case Encoding::kShiftJis:
            return codepage::Cp932BadSequenceLength(rest);
        case Encoding::kEucJp:
        case Encoding::kIso2022Jp:
            return codepage::EucJpBadSequenceLength(rest);
        case Encoding::kUtf8:
            return codepage::Utf8BadSequenceLength(rest);
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            return rest.size() >= 2 ? 2 : 1;
    }
    return 1;
}

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

// The two iconv steps and their error loop: the source encoding into UCS-4, UCS-4 into CP932.
// Going through UCS-4 in our own buffer tells apart the two failures iconv reports alike: an
// invalid input sequence (first step) and a character that CP932 lacks (second step, where the
// character is at hand for its look-alike).
class Pipeline {
public:
    Pipeline(Encoding from, std::span<std::uint8_t> output)
        : from_(from),
          decoder_(OpenIconv("WCHAR_T", IconvName(from))),
          encoder_(OpenIconv("CP932", "WCHAR_T")),
          output_(output) {}

    bool Ready() const { return decoder_ && encoder_; }
    std::size_t Written() const { return written_; }
    // The output is full, or iconv failed in a way that no retry can mend; nothing more is read.
    bool Stopped() const { return full_ || failed_; }

    // Reads `input` through the first step; stops early only when Stopped(). With
    // `necRows`, `input` is EUC-JP whose rows 89-92 are the NEC-selected IBM extension characters.
    void Feed(std::span<const std::uint8_t> input, bool necRows) {
        char* in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(input.data()));
        std::size_t inLeft = input.size();
        while (inLeft > 0 && !Stopped()) {
            char* out = reinterpret_cast<char*>(wide_.data() + wideCount_);
            std::size_t outLeft = (wide_.size() - wideCount_) * sizeof(wchar_t);
            const std::size_t rc = iconv(decoder_.get(), &in, &inLeft, &out, &outLeft);
            const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
            const std::size_t decoded = wideCount_;
            wideCount_ = wide_.size() - outLeft / sizeof(wchar_t);
            if (necRows) {
                CarryExtensionRows(std::span(wide_).subspan(decoded, wideCount_ - decoded));
            }
            if (error == E2BIG || wideCount_ == wide_.size()) Flush();
            if (error == EILSEQ || error == EINVAL) {
                // EINVAL: the input ends inside a sequence; that unfinished piece is one bad one.
                const std::span<const std::uint8_t> rest(reinterpret_cast<std::uint8_t*>(in),
                                                         inLeft);
                const std::size_t skip = error == EINVAL ? inLeft : BadSequenceLength(from_, rest);
                if (wideCount_ == wide_.size()) Flush();
                wide_[wideCount_++] = kGeta;
                in += skip;
                inLeft -= skip;
                iconv(decoder_.get(), nullptr, nullptr, nullptr, nullptr);
            } else if (error != 0 && error != E2BIG) {
                // Any other error leaves the input where it was: trying again would spin.
                failed_ = true;
            }
        }
    }

    // Passes what the first step holds through the second.
    void Flush() {
        char* in = reinterpret_cast<char*>(wide_.data());
        std::size_t inLeft = wideCount_ * sizeof(wchar_t);
        while (inLeft > 0 && !Stopped()) {
            char* out = reinterpret_cast<char*>(output_.data() + written_);
            std::size_t outLeft = output_.size() - written_;
            const std::size_t rc = iconv(encoder_.get(), &in, &inLeft, &out, &outLeft);
            const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
            written_ = output_.size() - outLeft;
            if (error == E2BIG) {
                full_ = true;
            } else if (error == EILSEQ || error == EINVAL) {
                wchar_t c;
                std::memcpy(&c, in, sizeof c);
                const std::uint16_t code = LookAlike(c);
                if (output_.size() - written_ < 2) {
                    full_ = true;
                    break;
                }
                output_[written_++] = static_cast<std::uint8_t>(code >> 8);
                output_[written_++] = static_cast<std::uint8_t>(code & 0xFF);
                in += sizeof(wchar_t);
                inLeft -= sizeof(wchar_t);
            } else if (error != 0) {
                failed_ = true;
            }
        }
        wideCount_ = 0;
    }

private:
    // The CP932 code of the character that stands in for `c`, which CP932 lacks; or the code `c`
    // carries past Unicode.
    static std::uint16_t LookAlike(wchar_t c) {
        if (c >= kCarriesCode) return static_cast<std::uint16_t>(c - kCarriesCode);
        switch (c) {
            case L'\u301C':  // wave dash, JIS style
                return 0x8160;
            case L'\u2212':  // minus
                return 0x817C;
            case L'\u2016':  // double vertical line
                return 0x8161;
            case L'\u2014':  // em dash
                return 0x815C;
            case L'\u00A2':  // cent
                return 0x8191;
            case L'\u00A3':  // pound
                return 0x8192;
            case L'\u00AC':  // not
                return 0x81CA;
            default:
                return 0x81AC;  // 〓
        }
    }

    Encoding from_;
    IconvHandle decoder_;
    IconvHandle encoder_;
    std::span<std::uint8_t> output_;
    std::size_t written_ = 0;
    bool full_ = false;
    bool failed_ = false;
    std::array<wchar_t, 8192> wide_;
    std::size_t wideCount_ = 0;
};

}  // namespace

Encoding RecogniseEncoding(std::span<const std::uint8_t> input) {
    using namespace detail;
    if (auto bom = EncodingOfByteOrderMark(input)) return *bom;
    const std::span<const std::uint8_t> text = CutAtZero(input);
    if (LooksLikeIso2022Jp(text)) return Encoding::kIso2022Jp;
    if (IsUtf8WithNonAscii(text)) return Encoding::kUtf8;
    const bool shiftJis = codepage::DecodesCleanly(text);
    const bool eucJp = DecodesCleanlyAsEucJp(text);
    if (shiftJis != eucJp) return shiftJis ? Encoding::kShiftJis : Encoding::kEucJp;
    if (!shiftJis) return Encoding::kShiftJis;
    if (auto declared = DeclaredJapaneseCharset(text)) return *declared;
    if (NeedsUserDefinedAreaAsShiftJis(text)) return Encoding::kEucJp;
    if (auto detected = DetectorAnswer(text)) return *detected;
    if (IsAllHalfWidthKatakanaAsEucJp(text)) return Encoding::kEucJp;
    const bool kanaAsShiftJis = IsMostlyHalfWidthKatakana(text, Encoding::kShiftJis);
    const bool kanaAsEucJp = IsMostlyHalfWidthKatakana(text, Encoding::kEucJp);
    if (kanaAsShiftJis && !kanaAsEucJp) return Encoding::kEucJp;
    return Encoding::kShiftJis;
}

bool SetNkfOption(std::string_view options) {
    shiftJisSelected = options == "s" || options == "-s";
    return shiftJisSelected;
}

ConvertResult NkfConvert(std::span<std::uint8_t> output, std::span<const std::uint8_t> input) {
    ConvertResult result;
    if (output.empty()) return result;
    output[0] = 0;
    result.from = RecogniseEncoding(input);
    if (!shiftJisSelected) return result;

    // UTF-16 is read whole: its text is full of zero bytes. Everything else ends at the first.
    std::span<const std::uint8_t> text;
    switch (result.from) {
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            text = input.subspan(2);
            break;
        case Encoding::kUtf8:
            text = CutAtZero(input);
            if (detail::EncodingOfByteOrderMark(text)) text = text.subspan(3);
            break;
        default:
            text = CutAtZero(input);
            break;
    }

    // The last byte of the output is kept for the terminating zero.
    auto pipeline = std::make_unique<Pipeline>(result.from, output.first(output.size() - 1));
    if (!pipeline->Ready()) return result;
    if (result.from == Encoding::kIso2022Jp) {
        Iso2022JpReader reader(text);
        std::array<std::uint8_t, 16384> eucJp;
        while (!reader.Done() && !pipeline->Stopped()) {
            const std::size_t length = reader.Read(eucJp);
            pipeline->Feed(std::span(eucJp).first(length), reader.ExtensionRowsAreNecSelected());
        }
    } else {
        pipeline->Feed(text, result.from == Encoding::kEucJp);
    }
    pipeline->Flush();
    result.written = pipeline->Written();
    result.complete = !pipeline->Stopped();
    output[result.written] = 0;
    return result;
}

}  // namespace nkf
