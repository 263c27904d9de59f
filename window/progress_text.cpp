#include "window/progress_text.h"

#include <array>
#include <cmath>

#include "window/describe_reason.h"

namespace {

// The counts kept span the last two seconds, and at least half a second before a rate is given.
constexpr qint64 kRateSpanMs = 2000;
constexpr qint64 kShortestSpanMs = 500;

}  // namespace

void RecentRate::Add(qint64 lngAtMs, std::uint64_t lngBytes) {
    // A count that went back belongs to a new request (a redirect's target): the rate starts over.
    if (!lstSamples.empty() && lngBytes < lstSamples.back().lngBytes) lstSamples.clear();
    lstSamples.push_back({lngAtMs, lngBytes});
    while (lstSamples.size() > 2 && lngAtMs - lstSamples[1].lngAt >= kRateSpanMs)
        lstSamples.pop_front();
}

double RecentRate::BytesPerSecond() const {
    if (lstSamples.empty()) return -1.0;
    const Sample& udtOldest = lstSamples.front();
    const Sample& udtNewest = lstSamples.back();
    if (udtNewest.lngAt - udtOldest.lngAt < kShortestSpanMs) return -1.0;
    return static_cast<double>(udtNewest.lngBytes - udtOldest.lngBytes) * 1000.0 /
           static_cast<double>(udtNewest.lngAt - udtOldest.lngAt);
}

QString ByteCountText(std::uint64_t lngBytes) {
    if (lngBytes < 1024) return QStringLiteral("%1バイト").arg(lngBytes);
    static constexpr std::array<const char16_t*, 3> kUnits = {u"KB", u"MB", u"GB"};
    double dblValue = static_cast<double>(lngBytes);
    for (std::size_t i = 0; i < kUnits.size(); ++i) {
        dblValue /= 1024.0;
        // The unit is chosen by the figure shown, so that 1048575 bytes read "1.0MB", not
        // "1024KB".
        const bool blnDecimal = std::round(dblValue * 10.0) < 100.0;
        const double dblShown =
            blnDecimal ? std::round(dblValue * 10.0) / 10.0 : std::round(dblValue);
        if (dblShown < 1024.0 || i + 1 == kUnits.size()) {
            return QString::number(dblShown, 'f', blnDecimal ? 1 : 0) +
                   QString::fromUtf16(kUnits[i]);
        }
    }
    return QString();
}

QString RateText(double dblBytesPerSecond) {
    const double dblRate = std::max(0.0, dblBytesPerSecond);
    return ByteCountText(static_cast<std::uint64_t>(std::llround(dblRate))) + QStringLiteral("/秒");
}

QString DescribeProgress(const FetchProgress& udtProgress) {
    const QString strEsc = QStringLiteral("Esc キーで中止できます。");
    switch (udtProgress.phase) {
        case FetchProgress::Phase::kFindingProxy:
            return QStringLiteral("プロキシの設定を確かめています（接続先「%1」）…\n")
                       .arg(udtProgress.strHost) +
                   strEsc;
        case FetchProgress::Phase::kConnecting:
            if (!udtProgress.strProxy.isEmpty()) {
                QString strOrigin = DescribeOrigin(udtProgress.udtOrigin);
                if (!strOrigin.isEmpty()) strOrigin = QStringLiteral("、%1による").arg(strOrigin);
                return QStringLiteral("プロキシ「%1」の応答を待っています（接続先「%2」%3）…\n")
                           .arg(udtProgress.strProxy, udtProgress.strHost, strOrigin) +
                       strEsc;
            }
            return QStringLiteral("サーバー「%1」の応答を待っています…\n")
                       .arg(udtProgress.strHost) +
                   strEsc;
        case FetchProgress::Phase::kReceiving: {
            QString strLine = QStringLiteral("受信中: ") + ByteCountText(udtProgress.lngReceived);
            if (udtProgress.lngExpected > 0) {
                const std::uint64_t lngShare = std::min<std::uint64_t>(
                    100, udtProgress.lngReceived * 100 / udtProgress.lngExpected);
                strLine += QStringLiteral(" / %1（%2%）")
                               .arg(ByteCountText(udtProgress.lngExpected))
                               .arg(lngShare);
            }
            if (udtProgress.dblBytesPerSecond >= 0.0)
                strLine += QStringLiteral("、") + RateText(udtProgress.dblBytesPerSecond);
            return strLine + QStringLiteral("\n") + strEsc;
        }
        case FetchProgress::Phase::kConverting:
            return QStringLiteral("ページ（%1）を変換して表示しています…")
                .arg(ByteCountText(udtProgress.lngReceived));
    }
    return QString();
}
