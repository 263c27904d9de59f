#include <QString>
#include <QUrl>

#include <algorithm>

#include "platform/urlclient/url_client.h"

namespace urlclient {

namespace {

bool NeedsEncoding(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' ||
           c == '}';
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string EncodeUrl(std::string_view url) {
    url = url.substr(0, url.find('#'));
    std::size_t start = 0;
    std::string out;
    std::size_t scheme_end = url.find("://");
    if (scheme_end != std::string_view::npos) {
        // scheme://[userinfo@]host[:port], then the path: the host goes through IDNA here, since
        // libcurl's own conversion depends on the process's locale.
        std::size_t host_begin = scheme_end + 3;
        start = std::min(url.find_first_of("/?", host_begin), url.size());
        std::string_view authority = url.substr(host_begin, start - host_begin);
        std::size_t at = authority.rfind('@');
        std::size_t host_from = at == std::string_view::npos ? 0 : at + 1;
        std::size_t colon = authority.find(':', host_from);
        std::string_view host = authority.substr(host_from, colon - host_from);
        out = std::string(url.substr(0, host_begin + host_from));
        bool ascii = std::all_of(host.begin(), host.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        QByteArray ace;
        if (!ascii)
            ace = QUrl::toAce(QString::fromUtf8(host.data(), static_cast<qsizetype>(host.size())));
        if (!ace.isEmpty())
            out += ace.toStdString();
        else
            out += host;
        if (colon != std::string_view::npos) out += authority.substr(colon);
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = start; i < url.size(); ++i) {
        auto c = static_cast<unsigned char>(url[i]);
        bool escape = c == '%' && !(i + 2 < url.size() && IsHex(url[i + 1]) && IsHex(url[i + 2]));
        if (NeedsEncoding(c) || escape) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace urlclient
