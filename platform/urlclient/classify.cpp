// Why a transfer failed: libcurl's result, and what the transfer saw on the way, turned into the
// one Failure the rest of the program knows.

#include <cerrno>
#include <memory>
#include <string_view>

#include "platform/urlclient/transfer.h"

namespace urlclient {

namespace {

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// libcurl's name for a certificate problem, as its TLS library words it.
Failure::Certificate CertificateProblem(std::string_view text) {
    if (Contains(text, "target host name")) return Failure::Certificate::kNameMismatch;
    if (Contains(text, "self-signed") || Contains(text, "self signed"))
        return Failure::Certificate::kSelfSigned;
    if (Contains(text, "expired")) return Failure::Certificate::kExpired;
    if (Contains(text, "issuer certificate")) return Failure::Certificate::kUnknownIssuer;
    return Failure::Certificate::kOther;
}

Failure::Kind KindOf(CURLcode code, long os_error) {
    using Kind = Failure::Kind;
    switch (code) {
        case CURLE_OK:
            return Kind::kNone;
        case CURLE_URL_MALFORMAT:
            return Kind::kBadUrl;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Kind::kUnsupportedScheme;
        case CURLE_COULDNT_RESOLVE_HOST:
            return Kind::kHostNotFound;
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Kind::kProxyNotFound;
        case CURLE_COULDNT_CONNECT:
            return os_error == ECONNREFUSED ? Kind::kConnectionRefused : Kind::kCouldNotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return Kind::kTimedOut;
        case CURLE_PEER_FAILED_VERIFICATION:
            return Kind::kCertificate;
        case CURLE_SSL_CACERT_BADFILE:
            return Kind::kNoCertificateStore;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return Kind::kTls;
        case CURLE_TOO_MANY_REDIRECTS:
            return Kind::kTooManyRedirects;
        case CURLE_FILESIZE_EXCEEDED:
            return Kind::kTooLarge;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return Kind::kCutOff;
        case CURLE_OUT_OF_MEMORY:
            return Kind::kNoMemory;
        default:
            return Kind::kOther;
    }
}

// Whether libcurl refused a response head for its size: all its lines together, or one of them.
bool HeadRefused(std::string_view text) {
    return Contains(text, "Too large response headers") ||
           (Contains(text, "Rejected") && Contains(text, "header (max is"));
}

// The same failure, when it happened on the way to the proxy rather than the server.
Failure::Kind AtTheProxy(Failure::Kind kind) {
    using Kind = Failure::Kind;
    switch (kind) {
        case Kind::kConnectionRefused:
            return Kind::kProxyConnectionRefused;
        case Kind::kCouldNotConnect:
            return Kind::kProxyCouldNotConnect;
        case Kind::kTimedOut:
            return Kind::kProxyTimedOut;
        default:
            return kind;
    }
}

// The scheme a URL starts with ("ftp" of "ftp://..."), or empty when it names none.
std::string_view SchemeOf(std::string_view url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return {};
    for (char c : url.substr(0, colon)) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!ok) return {};
    }
    return url.substr(0, colon);
}

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// The host and scheme of `url` as libcurl parses them; left empty where it cannot.
void HostAndScheme(const char* url, Failure& failure) {
    std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url,
                                CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK)
        return;
    for (auto [part, out] :
         {std::pair{CURLUPART_HOST, &failure.host}, std::pair{CURLUPART_SCHEME, &failure.scheme}}) {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), part, &text, 0) != CURLUE_OK) continue;
        *out = text;
        curl_free(text);
    }
}

}  // namespace

Failure UrlHandle::Describe() const {
    using Kind = Failure::Kind;
    Failure failure;
    if (result == CURLE_OK && !too_large && !StopRequested()) return failure;
    failure.curl_code = result;
    failure.text = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
    long os_error = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &os_error);
    failure.kind = KindOf(result, os_error);
    char* effective = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective != nullptr) {
        HostAndScheme(effective, failure);
        failure.proxy = ProxyFor(effective, session.options);
    }

    // What ended the transfer on our side says more than the code libcurl ended it with.
    if (StopRequested()) {
        failure.kind = Kind::kStopped;
    } else if (too_large) {
        failure.kind = Kind::kTooLarge;
    } else if (out_of_memory) {
        failure.kind = Kind::kNoMemory;
    } else if (head_too_large || HeadRefused(failure.text) ||
               (result == CURLE_OUT_OF_MEMORY && !head_done)) {
        // libcurl reports a header line over its limit (100 KB) as out of memory, without a word;
        // its own small allocations failing before the head is whole is far less likely.
        failure.kind = Kind::kHeadTooLarge;
    } else if (failure.kind == Kind::kUnsupportedScheme && saw_location) {
        // libcurl refused to follow a redirect, not the address the user gave.
        failure.kind = Kind::kRedirectScheme;
        failure.scheme = SchemeOf(location);
    } else if (!failure.proxy.empty()) {
        // A tunnel the proxy would not open, or a proxy that never got as far as an answer: the
        // proxy failed, not the server behind it.
        long connect_code = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &connect_code);
        if (connect_code >= 300) {
            failure.proxy_status = static_cast<int>(connect_code);
            failure.kind = connect_code == 407 ? Kind::kProxyNeedsLogin : Kind::kProxyRefused;
        } else if (connect_code == 0 && head_bytes == 0) {
            failure.kind = AtTheProxy(failure.kind);
        }
    }
    if (failure.kind == Kind::kCertificate) failure.certificate = CertificateProblem(failure.text);
    if (failure.kind == Kind::kTimedOut || failure.kind == Kind::kProxyTimedOut) {
        failure.time_limit =
            stalled ? session.options.limits.stall_timeout : session.options.limits.connect_timeout;
    }
    if (failure.kind == Kind::kTooLarge) failure.size_limit = session.options.limits.max_body_bytes;
    return failure;
}

}  // namespace urlclient
