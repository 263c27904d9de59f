#include "platform/nkf/recognise.h"

#include <uchardet.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/codepage/codepage.h"

namespace nkf::detail {
namespace {

using codepage::IsEucJpByte;
using codepage::SkipAsciiWords;

constexpr std::uint8_t kEsc = 0x1B;

bool StartsWith(std::span<const std::uint8_t> input, std::initializer_list<std::uint8_t> prefix) {
    return input.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), input.begin());
}

struct DetectorDeleter {
    void operator()(uchardet_t detector) const { uchardet_delete(detector); }
};

}  // namespace

std::optional<Encoding> EncodingOfByteOrderMark(std::span<const std::uint8_t> input) {
    if (StartsWith(input, {0xEF, 0xBB, 0xBF})) return Encoding::kUtf8;
    if (StartsWith(input, {0xFF, 0xFE})) return Encoding::kUtf16Le;
    if (StartsWith(input, {0xFE, 0xFF})) return Encoding::kUtf16Be;
    return std::nullopt;
}

bool LooksLikeIso2022Jp(std::span<const std::uint8_t> input) {
    const std::uint8_t* const in = input.data();
    const std::size_t size = input.size();
    std::size_t i = 0;
    for (; size - i >= 16; i += 16) {
        if (codepage::AnyHighBit16(in + i)) return false;
    }
    for (; i < size; ++i) {
        if (in[i] >= 0x80) return false;
    }
    // All 7-bit: now look for a designation among the escapes.
    for (std::size_t pos = 0; pos + 3 <= size; ++pos) {
        const void* esc = std::memchr(in + pos, kEsc, size - pos);
        if (esc == nullptr) return false;
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(esc) - in);
        if (size - pos < 3) return false;
        const std::uint8_t b1 = in[pos + 1];
        const std::uint8_t b2 = in[pos + 2];
        if ((b1 == '$' && (b2 == '@' || b2 == 'B' || b2 == '(')) ||
            (b1 == '(' && (b2 == 'B' || b2 == 'J' || b2 == 'I')) || (b1 == '&' && b2 == '@')) {
            return true;
        }
    }
    return false;
}

bool IsUtf8WithNonAscii(std::span<const std::uint8_t> input) {
    bool nonAscii = false;
    std::size_t i = 0;
    while (i < input.size()) {
        i = SkipAsciiWords(input, i);
        if (i == input.size()) break;
        const std::size_t length = codepage::Utf8SequenceLength(input.subspan(i));
        if (length == 0) return false;
        nonAscii = nonAscii || length > 1;
        i += length;
    }
    return nonAscii;
}

Encoding RecogniseShiftJisOrEucJp(std::span<const std::uint8_t> text) {
    return ChooseShiftJisOrEucJp(text, DecodesCleanlyAsEucJp(text));
}

Encoding ChooseShiftJisOrEucJp(std::span<const std::uint8_t> text, bool eucJp) {
    // Text that is not clean EUC-JP is read as Shift_JIS whether or not it decodes cleanly so;
    // only clean EUC-JP needs the pass over the text as Shift_JIS, which it mostly fails soon.
    if (!eucJp) return Encoding::kShiftJis;
    if (!codepage::DecodesCleanly(text)) return Encoding::kEucJp;
    if (auto declared = DeclaredJapaneseCharset(text)) return *declared;
    if (NeedsUserDefinedAreaAsShiftJis(text)) return Encoding::kEucJp;
    if (auto detected = DetectorAnswer(text)) return *detected;
    if (IsAllHalfWidthKatakanaAsEucJp(text)) return Encoding::kEucJp;
    const bool kanaAsShiftJis = IsMostlyHalfWidthKatakana(text, Encoding::kShiftJis);
    const bool kanaAsEucJp = IsMostlyHalfWidthKatakana(text, Encoding::kEucJp);
    if (kanaAsShiftJis && !kanaAsEucJp) return Encoding::kEucJp;
    return Encoding::kShiftJis;
}

bool DecodesCleanlyAsEucJp(std::span<const std::uint8_t> input) {
    std::size_t i = 0;
    while (i < input.size()) {
        i = SkipAsciiWords(input, i);
        // Kanji and kana: runs of two-byte characters.
        while (input.size() - i >= 2 && IsEucJpByte(input[i]) && IsEucJpByte(input[i + 1])) i += 2;
        if (i == input.size()) break;
        const std::size_t length = codepage::EucJpSequenceLength(input.subspan(i));
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::optional<Encoding> DeclaredJapaneseCharset(std::span<const std::uint8_t> input) {
    const std::span<const std::uint8_t> head =
        input.first(std::min<std::size_t>(input.size(), 1024));
    constexpr std::string_view kCharset = "charset";
    for (std::size_t i = 0; i + kCharset.size() < head.size(); ++i) {
        std::size_t k = 0;
        while (k < kCharset.size() &&
               codepage::LowerAscii(static_cast<char>(head[i + k])) == kCharset[k])
            ++k;
        if (k < kCharset.size()) continue;
        std::size_t pos = i + k;
        while (pos < head.size() && (head[pos] == ' ' || head[pos] == '\t')) ++pos;
        if (pos == head.size() || head[pos] != '=') continue;
        ++pos;
        while (pos < head.size() && (head[pos] == ' ' || head[pos] == '"' || head[pos] == '\''))
            ++pos;
        std::string name;
        while (pos < head.size() && name.size() < 20 &&
               (std::isalnum(head[pos]) || head[pos] == '-' || head[pos] == '_')) {
            name += codepage::LowerAscii(static_cast<char>(head[pos++]));
        }
        if (name == "shift_jis" || name == "shift-jis" || name == "sjis" || name == "x-sjis" ||
            name == "windows-31j" || name == "cp932" || name == "ms_kanji") {
            return Encoding::kShiftJis;
        }
        if (name == "euc-jp" || name == "x-euc-jp" || name == "eucjp" || name == "euc-jp-ms") {
            return Encoding::kEucJp;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

bool NeedsUserDefinedAreaAsShiftJis(std::span<const std::uint8_t> input) {
    std::size_t i = 0;
    while (i < input.size()) {
        i = SkipAsciiWords(input, i);
        if (i == input.size()) break;
        const std::uint8_t b = input[i];
        if (codepage::IsLeadByte(b) && i + 1 < input.size() &&
            codepage::IsTrailByte(input[i + 1])) {
            if (b >= 0xF0 && b <= 0xF9) return true;
            i += 2;
        } else {
            ++i;
        }
    }
    return false;
}

namespace {
thread_local std::size_t detectorSample = kDetectorSample;
}  // namespace

std::size_t DetectorSample() {
    return detectorSample;
}

void SetDetectorSample(std::size_t bytes) {
    detectorSample = bytes;
}

std::optional<Encoding> DetectorAnswer(std::span<const std::uint8_t> input) {
    std::unique_ptr<std::remove_pointer_t<uchardet_t>, DetectorDeleter> detector(uchardet_new());
    if (!detector) return std::nullopt;
    const std::size_t length = std::min(input.size(), detectorSample);
    if (uchardet_handle_data(detector.get(), reinterpret_cast<const char*>(input.data()), length) !=
        0) {
        return std::nullopt;
    }
    uchardet_data_end(detector.get());
    const std::string_view name = uchardet_get_charset(detector.get());
    if (name == "SHIFT_JIS" || name == "WINDOWS-31J" || name == "CP932") return Encoding::kShiftJis;
    if (name == "EUC-JP") return Encoding::kEucJp;
    return std::nullopt;
}

bool IsAllHalfWidthKatakanaAsEucJp(std::span<const std::uint8_t> input) {
    bool katakana = false;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] < 0x80) continue;
        if (input[i] != 0x8E || codepage::EucJpSequenceLength(input.subspan(i)) != 2) return false;
        katakana = true;
        ++i;
    }
    return katakana;
}

bool IsMostlyHalfWidthKatakana(std::span<const std::uint8_t> input, Encoding encoding) {
    std::size_t nonAscii = 0;
    std::size_t katakana = 0;
    std::size_t i = 0;
    while (i < input.size()) {
        const std::uint8_t b = input[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        ++nonAscii;
        // Only asked of text that decodes cleanly both ways, so every sequence is whole.
        if (encoding == Encoding::kEucJp) {
            if (b == 0x8E) ++katakana;
            i += std::max<std::size_t>(codepage::EucJpSequenceLength(input.subspan(i)), 1);
        } else {
            if (b >= 0xA1 && b <= 0xDF) ++katakana;
            i += codepage::IsLeadByte(b) ? 2 : 1;
        }
    }
    return katakana * 2 > nonAscii;
}

}  // namespace nkf::detail
