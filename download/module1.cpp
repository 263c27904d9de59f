#include "download/module1.h"

#include <algorithm>
#include <limits>
#include <new>
#include <span>
#include <utility>

#include <sys/mman.h>

#include "download/choose_proxy.h"
#include "platform/proxysettings/proxy_settings.h"

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

ProxyOrigin DownloadProgress::Origin() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return origin_;
}

void DownloadProgress::SetOrigin(ProxyOrigin origin) {
    std::lock_guard<std::mutex> lock(mutex_);
    origin_ = std::move(origin);
}

void PrepareProxySettings() {
    proxysettings::StartHelper();
}

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy) {
    return DownloadBytes(std::move(url), body, std::move(proxy), urlclient::Limits{});
}

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits) {
    DownloadFailure failure;
    return DownloadBytes(std::move(url), body, std::move(proxy), limits, nullptr, failure);
}

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy,
                           const urlclient::Limits& limits, urlclient::StopSignal* stop,
                           DownloadFailure& failure, DownloadProgress* progress) {
    using Kind = DownloadFailure::Kind;
    failure = {};
    if (url.isEmpty()) {
        failure.kind = Kind::kNoUrl;
        return 0;
    }

    urlclient::SessionOptions options;
    options.agent = "RECV_HTML";
    // Each request's way is decided here, once, and handed to the client as it is; where it came
    // from stays here, for the reason and the progress to name.
    const std::string strNamedProxy = proxy.toStdString();
    options.proxies = [&](const std::string& strUrl) {
        ProxyChoice choice;
        if (!strNamedProxy.empty()) {
            choice.origin.kind = ProxyOrigin::Kind::kArgument;
            choice.ways = {urlclient::Proxy{strNamedProxy, "", ""}};
        } else {
            if (progress) progress->choosing_proxy.store(true, std::memory_order_relaxed);
            choice = ChooseProxy(strUrl, limits.connect_timeout, stop);
            if (progress) progress->choosing_proxy.store(false, std::memory_order_relaxed);
        }
        failure.origin = choice.origin;
        if (progress) progress->SetOrigin(choice.origin);
        return choice.ways;
    };
    options.limits = limits;
    options.stop = stop;
    options.progress = progress != nullptr ? &progress->transfer : nullptr;
    // The count and the limit are 32-bit: keep the cap where neither can overflow.
    options.limits.max_body_bytes = std::min<std::uint64_t>(
        limits.max_body_bytes, std::numeric_limits<std::int32_t>::max() - 2 * kGrowthStep);

    // Declared in the order of opening, so every return closes the URL before the session.
    urlclient::SessionPtr hOpen = urlclient::OpenSession(options, failure.client);
    if (!hOpen) {
        failure.kind = Kind::kClient;
        return 0;
    }
    urlclient::UrlPtr hUrl =
        urlclient::OpenUrl(*hOpen, url.toStdString(), urlclient::kReload, failure.client);
    if (!hUrl) {
        failure.kind = Kind::kClient;
        return 0;
    }

    // A declared length only spares the copies that reaching its size through the vector's own
    // doubling would take: a hint, which may be refused (a server may declare any length).
    if (auto declared = urlclient::DeclaredLength(*hUrl)) {
        try {
            body.reserve(static_cast<std::size_t>(*declared) + 2 * kGrowthStep);
            AdviseLargeBuffer(body);
        } catch (const std::bad_alloc&) {
        }
    }
    std::int32_t lngCount = 0;
    std::int32_t lngLimit = kReadSize - 1;
    urlclient::ReadResult read{urlclient::ReadStatus::kOk, 0, {}};
    try {
        body.resize(kReadSize);
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
    } catch (const std::bad_alloc&) {
        std::vector<std::uint8_t>().swap(body);
        failure.kind = Kind::kNoMemory;
        return 0;
    }

    failure.client = std::move(read.failure);
    if (failure.client.kind != urlclient::Failure::Kind::kNone) failure.kind = Kind::kClient;
    if (read.status == urlclient::ReadStatus::kOk && lngCount == 0) {
        failure.kind = Kind::kEmptyBody;
        failure.http_status = urlclient::ResponseStatus(*hUrl);
    }
    // A stopped download is not the page, however much of it came; nor is one cut short by the
    // cap or by want of memory.
    using ClientKind = urlclient::Failure::Kind;
    if (lngCount == 0 || read.status == urlclient::ReadStatus::kTooLarge ||
        failure.client.kind == ClientKind::kStopped ||
        failure.client.kind == ClientKind::kNoMemory) {
        std::vector<std::uint8_t>().swap(body);
        return 0;
    }
    // What came before a cut or a stall is the page, marked as incomplete.
    if (failure.kind != Kind::kNone) failure.partial_bytes = static_cast<std::uint64_t>(lngCount);
    body.resize(static_cast<std::size_t>(lngCount));
    return lngCount;
}

}  // namespace Module1
