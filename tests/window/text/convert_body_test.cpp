#include "window/text/convert_body.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include <random>

#include "tests/support/corpus/corpus.h"
#include "tests/support/small_sizes.h"
#include "window/text/decode_with_crlf.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// The line-break rule as three replacement passes, the way the window describes it.
QString ThreePasses(QString strText) {
    strText.replace(QStringLiteral("\r\n"), QStringLiteral("\x01"));
    strText.replace(QStringLiteral("\n"), QStringLiteral("\x01"));
    strText.replace(QStringLiteral("\r"), QStringLiteral("\x01"));
    strText.replace(QStringLiteral("\x01"), QStringLiteral("\r\n"));
    return strText;
}

QString WithCrLf(const std::u16string& text) {
    return ThreePasses(QString::fromStdU16String(text));
}

struct BreakCase {
    const char* name;
    friend void PrintTo(const BreakCase& c, std::ostream* os) { *os << c.name; }
    const char* body;
    const char* text;
};

class ConvertBodyBreaks : public testing::TestWithParam<BreakCase> {};

TEST_P(ConvertBodyBreaks, EndAsCrLf) {
    EXPECT_EQ(ConvertBody(B(GetParam().body)), QString::fromLatin1(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Cases, ConvertBodyBreaks,
                         testing::Values(BreakCase{"Lf", "a\nb", "a\r\nb"},
                                         BreakCase{"Cr", "a\rb", "a\r\nb"},
                                         BreakCase{"CrLfUnchanged", "a\r\nb", "a\r\nb"},
                                         BreakCase{"LfCrIsTwo", "a\n\rb", "a\r\n\r\nb"},
                                         BreakCase{"CrCrLfIsTwo", "a\r\r\nb", "a\r\n\r\nb"},
                                         BreakCase{"MarkerBecomesCrLf",
                                                   "a\x01"
                                                   "b",
                                                   "a\r\nb"},
                                         BreakCase{"CrMarkerLfIsThree", "\r\x01\n", "\r\n\r\n\r\n"},
                                         BreakCase{"CrAtEnd", "a\r", "a\r\n"},
                                         BreakCase{"LfFirst", "\na", "\r\na"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The single pass against the three, on random mixes of breaks, markers and kanji: some long
// enough to put a CR LF across the decoder's inner window, and each again with the sizes lowered,
// so that a page of a few kilobytes is measured beside the conversion, in two halves, and decoded
// in two parts through a small window, the borders falling anywhere in the mix (or nowhere near
// enough). The count that places the second part agrees.
TEST(ConvertBody, OnePassMatchesThreePasses) {
    std::mt19937 random(1);
    const std::vector<Bytes> pieces = {B("a"),  Bytes{0x82, 0xA0}, B("\r"),
                                       B("\n"), B("\x01"),         B("\r\n")};
    for (int round = 0; round < 400; ++round) {
        Bytes body;
        const std::size_t length = round % 20 == 0  ? 40000
                                   : round % 2 == 0 ? 200 + random() % 3000
                                                    : random() % 40;
        // Long stretches without a byte of its own keep a border out of reach.
        const std::size_t lngPieces = round % 3 == 0 ? 2 : pieces.size();
        while (body.size() < length) {
            const Bytes& piece = pieces[random() % lngPieces];
            body.insert(body.end(), piece.begin(), piece.end());
        }
        const QString strBody = QString::fromStdU16String(std::u16string(body.begin(), body.end()))
                                    .replace(QString::fromLatin1("\x82\xA0"), QStringLiteral("あ"));
        const QString strText = ConvertBody(body);
        ASSERT_EQ(strText, ThreePasses(strBody)) << round;
        ASSERT_EQ(ConvertBody(body, SmallTextSizes()), strText) << round;
        ASSERT_EQ(DecodedLengthWithCrLf(body), static_cast<std::size_t>(strText.size())) << round;
    }
}

TEST(ConvertBody, CrLfAcrossTheDecodeWindow) {
    for (std::size_t at : {16382u, 16383u, 16384u}) {
        Bytes body(20000, 'x');
        body[at] = '\r';
        body[at + 1] = '\n';
        const QString strText = ConvertBody(body);
        EXPECT_EQ(strText.size(), 20000);
        EXPECT_EQ(strText.count(QStringLiteral("\r\n")), 1) << at;
    }
}

// A first part that ends in a CR LF and a few units more: its decoding must write nothing where
// the second part, decoded at the same time, has already put its first units. Kanji mixed with
// ASCII, a character at a time through small windows, make the first part slow to decode beside
// the quick count the second thread starts with, so the second part is there first.
TEST(DecodeWithCrLf, FirstPartEndingInCrLfLeavesTheSecondAlone) {
    TextSizes udtSizes;
    udtSizes.lngTwoPartsFrom = 256;
    udtSizes.lngDecodeWindow = 64;
    constexpr std::size_t kPairs = 100000;
    // The two threads race: each case is tried often enough that one loss shows.
    for (int round = 0; round < 20; ++round)
        for (std::size_t lngAfter = 0; lngAfter <= 9; ++lngAfter) {
            // An odd number of digits after the CR LF takes one 'a' before the rest, so that the
            // first part has an even length and the border falls two thirds in, right after it (a
            // digit is a byte of its own; the kanji, 'a' and 'X' may all be second bytes).
            const std::size_t lngA = lngAfter % 2;
            Bytes body(lngA, 'a');
            for (std::size_t i = 0; i < kPairs; ++i) body.insert(body.end(), {0x82, 0xA0, 'a'});
            body.insert(body.end(), {'\r', '\n'});
            body.insert(body.end(), lngAfter, '1');
            body.insert(body.end(), body.size() / 2, 'X');
            const QString strExpected = QString(static_cast<qsizetype>(lngA), u'a') +
                                        QStringLiteral("あa").repeated(kPairs) +
                                        QStringLiteral("\r\n") +
                                        QString(static_cast<qsizetype>(lngAfter), u'1') +
                                        QString(static_cast<qsizetype>(body.size() / 3), u'X');
            const QString strText = DecodeWithCrLf(body, udtSizes);
            ASSERT_EQ(strText.size(), strExpected.size()) << lngAfter;
            const auto pos = std::mismatch(strText.begin(), strText.end(), strExpected.begin());
            EXPECT_EQ(pos.first - strText.begin(), strText.size()) << lngAfter;
        }
}

struct TextCase {
    const char* name;
    friend void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }
    Bytes body;
    QString text;
};

class ConvertBodyText : public testing::TestWithParam<TextCase> {};

TEST_P(ConvertBodyText, GivesExpectedText) {
    EXPECT_EQ(ConvertBody(GetParam().body), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertBodyText,
    testing::Values(
        TextCase{"ShiftJis", Bytes{0x93, 0xFA, 0x96, 0x7B, '\n', 0xB1},
                 QStringLiteral("日本\r\nｱ")},
        TextCase{"EmptyBody", Bytes{}, QString()},
        TextCase{"FirstByteZero", Bytes{0x00, 0x93, 0xFA}, QString()},
        TextCase{"ZeroEndsTheBody", Bytes{0x93, 0xFA, 0x00, 0x96, 0x7B}, QStringLiteral("日")},
        // Whole, zero bytes and all: only the first character would survive a stop at zero.
        TextCase{"Utf16LeWhole", Bytes{0xFF, 0xFE, 'a', 0, '\n', 0, 0xE5, 0x65},
                 QStringLiteral("a\r\n日")},
        // Each stray byte of the katakana set becomes a two-byte "〓": the Shift_JIS is twice
        // as long as the body, and still fits the buffer of four times it.
        TextCase{"Iso2022JpStrayKatakanaBytesConvertWhole", B("\x1b(I``````````"),
                 QString(10, u'〓')},
        TextCase{"InvalidBytesShowAsGeta", Bytes{'A', 0x80, 'B', 0x82}, QStringLiteral("A〓B〓")},
        TextCase{"MissingCharactersShowAsGeta", B("a\u00A9\U0001F600b"), QStringLiteral("a〓〓b")},
        TextCase{"WaveDashShowsAsFullWidthTilde", B("1\u301C2"), QStringLiteral("1\uFF5E2")},
        TextCase{"ControlCodesKept", Bytes{'a', 0x1A, 0x1C, 0x7F},
                 QStringLiteral("a\x1A\x1C\x7F")}),
    [](const auto& info) { return std::string(info.param.name); });

// Every page of the corpus, in every encoding, gives the same text as its Shift_JIS form.
TEST(ConvertBody, EveryEncodingGivesTheShiftJisText) {
    const std::vector<corpus::Sample> pages = corpus::ReadPages();
    ASSERT_GE(pages.size(), 100u);
    for (const corpus::Sample& page : pages) {
        EXPECT_EQ(ConvertBody(page.bytes), WithCrLf(page.expected)) << page.name;
    }
}

}  // namespace
