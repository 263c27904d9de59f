#include "download/module1.h"

#include <algorithm>
#include <limits>
#include <span>
#include <utility>

#include <sys/mman.h>

namespace Module1 {

namespace {

constexpr std::int32_t kReadSize = 4096;
constexpr std::int32_t kGrowthStep = 4096;

// A large body fills fresh memory page by page; asking for huge pages where the system offers
// them on request spares most of the page faults, which otherwise cost more than the transfer.
void AdviseLargeBuffer(std::vector<std::uint8_t>& body) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    auto begin = reinterpret_cast<std::uintptr_t>(body.data());
    std::uintptr_t end = begin + body.capacity();
    begin = (begin + kHuge - 1) & ~(kHuge - 1);
    end &= ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy) {
    return DownloadBytes(std::move(url), body, std::move(proxy), urlclient::Limits{});
}

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits) {
    Reason reason;
    return DownloadBytes(std::move(url), body, std::move(proxy), limits, nullptr, reason);
}

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits, urlclient::StopSignal* stop,
                           Reason& reason) {
    reason = {};
    if (url.isEmpty()) {
        reason.kind = Reason::Kind::kNoUrl;
        return 0;
    }

    urlclient::SessionOptions options;
    options.agent = "RECV_HTML";
    if (!proxy.isEmpty()) {
        options.access = urlclient::AccessMode::kNamedProxy;
        options.proxy = proxy.toStdString();
        options.bypass = "";
    }
    options.limits = limits;
    options.stop = stop;
    // The count and the limit are 32-bit: keep the cap where neither can overflow.
    options.limits.max_body_bytes = std::min<std::uint64_t>(
        limits.max_body_bytes, std::numeric_limits<std::int32_t>::max() - 2 * kGrowthStep);

    // Declared in the order of opening, so every return closes the URL before the session.
    reason.kind = Reason::Kind::kClient;
    urlclient::SessionPtr hOpen = urlclient::OpenSession(options, reason.client);
    if (!hOpen) return 0;
    urlclient::UrlPtr hUrl =
        urlclient::OpenUrl(*hOpen, url.toStdString(), urlclient::kReload, reason.client);
    if (!hUrl) return 0;
    reason.kind = Reason::Kind::kNone;

    // The array still grows by the step below; a declared length only spares the copies that
    // reaching its size through the vector's own doubling would take.
    if (auto declared = urlclient::DeclaredLength(*hUrl)) {
        body.reserve(static_cast<std::size_t>(*declared) + 2 * kGrowthStep);
        AdviseLargeBuffer(body);
    }
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

    // A stopped download is not the page, however much of it came.
    const bool blnStopped = stop != nullptr && stop->Stopped();
    if (read.status == urlclient::ReadStatus::kTooLarge || lngCount == 0 || blnStopped) {
        if (blnStopped) {
            reason.kind = Reason::Kind::kClient;
            reason.client = {};
            reason.client.kind = urlclient::Failure::Kind::kStopped;
        } else if (read.status == urlclient::ReadStatus::kOk) {
            reason.kind = Reason::Kind::kEmptyBody;
            reason.http_status = urlclient::ResponseStatus(*hUrl);
        } else {
            reason.kind = Reason::Kind::kClient;
            reason.client = std::move(read.failure);
        }
        std::vector<std::uint8_t>().swap(body);
        return 0;
    }
    body.resize(static_cast<std::size_t>(lngCount));
    return lngCount;
}

}  // namespace Module1
