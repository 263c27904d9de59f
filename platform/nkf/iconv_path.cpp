#include "platform/nkf/iconv_path.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/codepage/byte_rules.h"
#include "platform/codepage/iconv_handle.h"
#include "platform/nkf/iso2022jp_reader.h"

namespace nkf::detail {
namespace {

using codepage::IconvHandle;
using codepage::OpenIconv;

constexpr wchar_t kGeta = L'\u3013';  // 〓, what a character that cannot be shown becomes
static_assert(sizeof(wchar_t) == 4, "the converter hands iconv UCS-4 as wchar_t");

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

// glibc's encoders pass over Unicode's tag characters (U+E0000-U+E007F) without a word, where they
// refuse every other character CP932 lacks. Each tag becomes a value past Unicode, which the
// encoder refuses, so that it too is one "〓" and no character of the page is lost.
void RefuseTags(std::span<wchar_t> wide) {
    for (wchar_t& c : wide) {
        if (static_cast<std::uint32_t>(c) >> 7 == 0xE0000 >> 7) c = kCarriesCode;
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

// How many bytes at the start of `rest` are whole well-formed sequences by the byte rules: the
// part iconv is handed. What iconv would make of the others is not asked (glibc's UTF-8 reader,
// for one, takes sequences past U+10FFFF), so that recognition and both ways of converting agree
// on what is bad. UTF-16 is left to iconv whole.
std::size_t WellFormedLength(Encoding encoding, std::span<const std::uint8_t> rest) {
    std::size_t (*sequenceLength)(std::span<const std::uint8_t>) = nullptr;
    switch (encoding) {
        case Encoding::kShiftJis:
            sequenceLength = codepage::Cp932SequenceLength;
            break;
        case Encoding::kEucJp:
        case Encoding::kIso2022Jp:
            sequenceLength = codepage::EucJpSequenceLength;
            break;
        case Encoding::kUtf8:
            sequenceLength = codepage::Utf8SequenceLength;
            break;
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be:
            return rest.size();
    }
    std::size_t length = 0;
    while (length < rest.size()) {
        const std::size_t sequence = sequenceLength(rest.subspan(length));
        if (sequence == 0) break;
        length += sequence;
    }
    return length;
}

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
        while (!input.empty() && !Stopped()) {
            const std::size_t good = WellFormedLength(from_, input);
            if (good > 0) {
                FeedWellFormed(input.first(good), necRows);
                input = input.subspan(good);
                continue;
            }
            // A bad sequence by the byte rules: one "〓".
            PutWide(kGeta);
            input = input.subspan(BadSequenceLength(from_, input));
        }
    }

    // Passes what the first step holds through the second.
    void Flush() {
        char* in = reinterpret_cast<char*>(wide_.data());
        std::size_t inLeft = wideCount_ * sizeof(wchar_t);
        while (inLeft > 0 && !Stopped()) {
            if (output_.empty()) {
                // iconv must not be handed the null pointer of an empty span.
                full_ = true;
                break;
            }
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
    void PutWide(wchar_t c) {
        if (wideCount_ == wide_.size()) Flush();
        wide_[wideCount_++] = c;
    }

    // Reads `input`, whole sequences only, through the first step. A sequence iconv refuses
    // becomes one "〓".
    void FeedWellFormed(std::span<const std::uint8_t> input, bool necRows) {
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
            if (from_ == Encoding::kUtf8 || from_ == Encoding::kUtf16Le ||
                from_ == Encoding::kUtf16Be) {
                RefuseTags(std::span(wide_).subspan(decoded, wideCount_ - decoded));
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

    // The CP932 code of the character that stands in for `c`, which CP932 lacks; or the code `c`
    // carries past Unicode.
    static std::uint16_t LookAlike(wchar_t c) {
        if (c >= kCarriesCode + 0xED40 && c <= kCarriesCode + 0xEEFC) {
            return static_cast<std::uint16_t>(c - kCarriesCode);
        }
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

PathResult ConvertThroughIconv(std::span<std::uint8_t> output, std::span<const std::uint8_t> text,
                               Encoding from) {
    PathResult result;
    auto pipeline = std::make_unique<Pipeline>(from, output);
    if (!pipeline->Ready()) return result;
    if (from == Encoding::kIso2022Jp) {
        Iso2022JpReader reader(text);
        std::array<std::uint8_t, kIso2022JpPiece> eucJp;
        while (!reader.Done() && !pipeline->Stopped()) {
            const std::size_t length = reader.Read(eucJp);
            pipeline->Feed(std::span(eucJp).first(length), reader.ExtensionRowsAreNecSelected());
        }
    } else {
        pipeline->Feed(text, from == Encoding::kEucJp);
    }
    pipeline->Flush();
    result.written = pipeline->Written();
    result.complete = !pipeline->Stopped();
    return result;
}

}  // namespace nkf::detail
