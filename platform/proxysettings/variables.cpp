// The proxy variables: which one applies to a URL, and whether no_proxy sends it straight to the
// server. The rules are libcurl's, so that a variable means here what it means to curl.

#include <arpa/inet.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/proxysettings/proxy_settings.h"

namespace proxysettings {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// The variable's value, or nothing when it is unset or empty.
std::optional<std::string> Env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// Whether the address `host` lies in `token`, an address with an optional "/bits" prefix length.
bool AddressMatches(std::string_view host, std::string_view token, int family) {
    const std::size_t slash = token.find('/');
    const std::string address(token.substr(0, slash));
    const int max_bits = family == AF_INET ? 32 : 128;
    int bits = max_bits;
    if (slash != std::string_view::npos) {
        bits = std::atoi(std::string(token.substr(slash + 1)).c_str());
        if (bits < 0 || bits > max_bits) return false;
    }
    std::array<unsigned char, 16> want{}, have{};
    if (inet_pton(family, address.c_str(), want.data()) != 1 ||
        inet_pton(family, std::string(host).c_str(), have.data()) != 1)
        return false;
    const int bytes = bits / 8;
    if (std::memcmp(want.data(), have.data(), static_cast<std::size_t>(bytes)) != 0) return false;
    if (bits % 8 == 0) return true;
    // The leading bits of the last, partly covered byte.
    const auto mask = static_cast<unsigned char>(0xFF << (8 - bits % 8));
    return (want[static_cast<std::size_t>(bytes)] & mask) ==
           (have[static_cast<std::size_t>(bytes)] & mask);
}

// Whether a no_proxy list (names and addresses, separated by commas or spaces; "*" alone: every
// host) names `host`. A name matches itself and its subdomains; an address, its own or its range.
bool ListNamesHost(std::string_view list, std::string_view host) {
    if (list.empty()) return false;
    if (list == "*") return true;
    int family = 0;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        family = AF_INET6;
    } else {
        std::array<unsigned char, 4> v4{};
        if (inet_pton(AF_INET, std::string(host).c_str(), v4.data()) == 1) family = AF_INET;
        if (family == 0 && !host.empty() && host.back() == '.') host.remove_suffix(1);
    }
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t end = list.find_first_of(", \t", at);
        std::string_view token = list.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? list.size() : end + 1;
        if (token.empty()) continue;
        if (family != 0) {
            if (AddressMatches(host, token, family)) return true;
            continue;
        }
        if (token.back() == '.') token.remove_suffix(1);
        if (!token.empty() && token.front() == '.') token.remove_prefix(1);
        if (token.empty()) continue;
        if (EqualNoCase(token, host)) return true;
        if (token.size() < host.size() && host[host.size() - token.size() - 1] == '.' &&
            EqualNoCase(token, host.substr(host.size() - token.size())))
            return true;
    }
    return false;
}

}  // namespace

std::optional<Answer> FromVariables(std::string_view scheme, std::string_view host) {
    if (scheme.empty()) return std::nullopt;
    std::vector<std::string> names{std::string(scheme) + "_proxy"};
    if (scheme != "http") {
        std::string upper = names.front();
        for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        names.push_back(upper);
    }
    names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
    for (const std::string& name : names) {
        const std::optional<std::string> value = Env(name);
        if (!value) continue;
        Answer answer;
        std::string bypass = Env("no_proxy").value_or(Env("NO_PROXY").value_or(""));
        if (ListNamesHost(bypass, host)) return answer;
        answer.source = Source::kVariable;
        answer.variable = name;
        answer.entries = {Entry{*value, "", ""}};
        return answer;
    }
    return std::nullopt;
}

}  // namespace proxysettings
