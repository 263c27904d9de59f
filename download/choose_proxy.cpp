#include "download/choose_proxy.h"

#include <optional>

#include "platform/proxysettings/proxy_settings.h"

namespace Module1 {

namespace {

ProxyOrigin::Kind OriginOf(proxysettings::Source source) {
    switch (source) {
        case proxysettings::Source::kNone:
            return ProxyOrigin::Kind::kNone;
        case proxysettings::Source::kVariable:
            return ProxyOrigin::Kind::kVariable;
        case proxysettings::Source::kDesktop:
            return ProxyOrigin::Kind::kDesktop;
        case proxysettings::Source::kPacFile:
            return ProxyOrigin::Kind::kPacFile;
        case proxysettings::Source::kWpad:
            return ProxyOrigin::Kind::kWpad;
    }
    return ProxyOrigin::Kind::kNone;
}

}  // namespace

ProxyChoice ChooseProxy(const std::string& url, std::chrono::milliseconds time_limit,
                        const urlclient::StopSignal* stop) {
    const urlclient::UrlParts parts = urlclient::PartsOf(url);
    std::optional<proxysettings::Answer> answer =
        proxysettings::FromVariables(parts.scheme, parts.host);
    if (!answer) {
        answer = proxysettings::FromDesktop(url, time_limit,
                                            [stop] { return stop != nullptr && stop->Stopped(); });
    }
    ProxyChoice choice;
    choice.origin.kind = OriginOf(answer->source);
    choice.origin.variable = answer->variable;
    choice.origin.pac_url = answer->pac_url;
    choice.origin.pac_unreadable = answer->pac_unreadable;
    for (const proxysettings::Entry& entry : answer->entries)
        choice.ways.push_back({entry.url, entry.user, entry.password});
    if (choice.ways.empty()) choice.ways.emplace_back();
    return choice;
}

}  // namespace Module1
