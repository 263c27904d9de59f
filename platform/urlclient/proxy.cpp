// How the client names the parts of a URL and the proxy a request went through.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "platform/urlclient/url_client.h"

namespace urlclient {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

}  // namespace

std::string ProxyHostAndPort(std::string_view proxy) {
    std::string_view scheme;
    if (const std::size_t sep = proxy.find("://"); sep != std::string_view::npos) {
        scheme = proxy.substr(0, sep);
        proxy.remove_prefix(sep + 3);
    }
    proxy = proxy.substr(0, proxy.find_first_of("/?#"));
    if (const std::size_t at = proxy.rfind('@'); at != std::string_view::npos)
        proxy.remove_prefix(at + 1);
    if (proxy.empty()) return "";
    std::size_t port_from = 0;
    if (proxy.front() == '[') {
        port_from = proxy.find(']');
        if (port_from == std::string_view::npos) return std::string(proxy);
    }
    const std::size_t colon = proxy.find(':', port_from);
    if (colon != std::string_view::npos && colon + 1 < proxy.size()) return std::string(proxy);
    std::string lower(scheme);
    for (char& c : lower) c = Lower(c);
    return std::string(proxy.substr(0, colon)) + (lower == "https" ? ":443" : ":1080");
}

UrlParts PartsOf(std::string_view url) {
    std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    UrlParts out;
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, std::string(url).c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return out;
    for (auto [part, text_out] :
         {std::pair{CURLUPART_SCHEME, &out.scheme}, std::pair{CURLUPART_HOST, &out.host}}) {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), part, &text, 0) != CURLUE_OK) continue;
        *text_out = text;
        curl_free(text);
    }
    for (char& c : out.scheme) c = Lower(c);
    return out;
}

}  // namespace urlclient
