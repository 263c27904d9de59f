#include "download/module1.h"

#include <algorithm>
#include <limits>
#include <span>

namespace Module1 {

namespace {

constexpr std::int32_t kReadSize = 4096;
constexpr std::int32_t kGrowthStep = 4096;

}  // namespace

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy) {
    return DownloadBytes(std::move(url), body, std::move(proxy), urlclient::Limits{});
}

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits) {
    if (url.isEmpty()) return 0;

    urlclient::SessionOptions options;
    options.agent = "RECV_HTML";
    if (!proxy.isEmpty()) {
        options.access = urlclient::AccessMode::kNamedProxy;
        options.proxy = proxy.toStdString();
        options.bypass = "";
    }
    options.limits = limits;
    // The count and the limit are 32-bit: keep the cap where neither can overflow.
    options.limits.max_body_bytes = std::min<std::uint64_t>(
        limits.max_body_bytes, std::numeric_limits<std::int32_t>::max() - 2 * kGrowthStep);

    // Declared in the order of opening, so every return closes the URL before the session.
    urlclient::SessionPtr hOpen = urlclient::OpenSession(options);
    if (!hOpen) return 0;
    urlclient::UrlPtr hUrl = urlclient::OpenUrl(*hOpen, url.toStdString(), urlclient::kReload);
    if (!hUrl) return 0;

    body.resize(kReadSize);
    std::int32_t lngCount = 0;
    std::int32_t lngLimit = kReadSize - 1;
    urlclient::ReadResult read;
    do {
        if (lngLimit - lngCount < kReadSize) {
            lngLimit += kGrowthStep;
            body.resize(static_cast<std::size_t>(lngLimit));
        }
        read = urlclient::Read(
            *hUrl, std::span<std::uint8_t>(body).subspan(static_cast<std::size_t>(lngCount),
                                                         static_cast<std::size_t>(kReadSize)));
        lngCount += static_cast<std::int32_t>(read.bytes);
    } while (read.bytes != 0 && read.status == urlclient::ReadStatus::kOk);

    if (read.status == urlclient::ReadStatus::kTooLarge || lngCount == 0) {
        std::vector<std::uint8_t>().swap(body);
        return 0;
    }
    body.resize(static_cast<std::size_t>(lngCount));
    return lngCount;
}

}  // namespace Module1
