// The byte counts and rates that a running fetch shows, at the edges of their units.

#include "window/progress_text.h"

#include <gtest/gtest.h>

#include "tests/support/print_qstring.h"

namespace {

TEST(ProgressText, BytesAndRatesReadAsAPersonReadsThem) {
    constexpr std::uint64_t kKiB = 1024;
    constexpr std::uint64_t kMiB = kKiB * kKiB;
    const struct {
        std::uint64_t lngBytes;
        const char16_t* strShown;
    } cases[] = {
        {0, u"0バイト"},
        {1023, u"1023バイト"},
        {1024, u"1.0KB"},
        {10 * kKiB - 52, u"9.9KB"},  // 9.949...: still one decimal
        {10 * kKiB - 51, u"10KB"},   // 9.950...: rounds to ten, shown whole
        {kMiB - 513, u"1023KB"},     // 1023.499...
        {kMiB - 512, u"1.0MB"},      // 1023.5 would read 1024KB: the next unit instead
        {kMiB, u"1.0MB"},
        {256 * kMiB, u"256MB"},  // the cap on a page
        {256 * kMiB + 1, u"256MB"},
    };
    for (const auto& cas : cases)
        EXPECT_EQ(ByteCountText(cas.lngBytes), QString::fromUtf16(cas.strShown)) << cas.lngBytes;
    EXPECT_EQ(RateText(0.0), QStringLiteral("0バイト/秒"));
    EXPECT_EQ(RateText(1536.0), QStringLiteral("1.5KB/秒"));
}

TEST(ProgressText, ReceivingShowsTheShareOnlyWhereTheLengthIsKnown) {
    FetchProgress udt;
    udt.phase = FetchProgress::Phase::kReceiving;
    udt.strHost = QStringLiteral("www.example.jp");
    udt.lngReceived = 512 * 1024;
    udt.dblBytesPerSecond = 100 * 1024;
    const QString strUnknown = DescribeProgress(udt);
    EXPECT_TRUE(strUnknown.contains(QStringLiteral("512KB"))) << strUnknown.toStdString();
    EXPECT_TRUE(strUnknown.contains(QStringLiteral("100KB/秒"))) << strUnknown.toStdString();
    EXPECT_TRUE(strUnknown.contains(QStringLiteral("Esc"))) << strUnknown.toStdString();
    EXPECT_FALSE(strUnknown.contains(u'%')) << strUnknown.toStdString();
    udt.lngExpected = 2 * 1024 * 1024;
    const QString strKnown = DescribeProgress(udt);
    EXPECT_TRUE(strKnown.contains(QStringLiteral("512KB / 2.0MB（25%）")))
        << strKnown.toStdString();
}

}  // namespace
