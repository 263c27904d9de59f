// Why a transfer failed: libcurl's result, and what the transfer saw on the way, turned into the
// one Failure the rest of the program knows.

#include <cerrno>
#include <string_view>

#include "platform/urlclient/transfer.h"

namespace urlclient {

namespace {

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// Whether a failed TLS negotiation says that the server offers only versions older than the
// client's oldest (TLS 1.2): it answered with the "protocol version" alert, or answered in such a
// version, as OpenSSL words them.
bool OnlyOutdatedTls(std::string_view text) {
    return Contains(text, "alert protocol version") || Contains(text, "unsupported protocol");
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

}  // namespace

Failure UrlHandle::Describe() const {
    using Kind = Failure::Kind;
    Failure failure;
    if (EndedWhole() && !StopRequested()) return failure;
    failure.curl_code = result_;
    failure.text = error_text_[0] != '\0' ? error_text_ : curl_easy_strerror(result_);
    long os_error = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_OS_ERRNO, &os_error);
    failure.kind = KindOf(result_, os_error);
    const UrlParts parts = PartsOf(url_);
    failure.host = parts.host;
    failure.scheme = parts.scheme;
    failure.proxy = ProxyHostAndPort(proxy_.url);

    // What ended the transfer on our side says more than the code libcurl ended it with.
    if (StopRequested() || cause_ == Cause::kStopped) {
        failure.kind = Kind::kStopped;
    } else if (cause_ == Cause::kTooLarge) {
        failure.kind = Kind::kTooLarge;
    } else if (cause_ == Cause::kNoMemory) {
        failure.kind = Kind::kNoMemory;
    } else if (cause_ == Cause::kBadEncoding) {
        failure.kind = Kind::kOther;
        failure.text = decode_error_;
    } else if (cause_ == Cause::kHeadTooLarge || HeadRefused(failure.text) ||
               (result_ == CURLE_OUT_OF_MEMORY && !head_done_)) {
        // libcurl reports a header line over its limit (100 KB) as out of memory, without a word;
        // its own small allocations failing before the head is whole is far less likely.
        failure.kind = Kind::kHeadTooLarge;
    } else {
        if (cause_ == Cause::kStalled) failure.kind = Kind::kTimedOut;
        if (!failure.proxy.empty()) {
            // A tunnel the proxy would not open, or a proxy that never got as far as an answer:
            // the proxy failed, not the server behind it.
            long connect_code = 0;
            curl_easy_getinfo(easy_.get(), CURLINFO_HTTP_CONNECTCODE, &connect_code);
            if (connect_code >= 300) {
                failure.proxy_status = static_cast<int>(connect_code);
                failure.kind = connect_code == 407 ? Kind::kProxyNeedsLogin : Kind::kProxyRefused;
            } else if (connect_code == 0 && head_bytes_ == 0) {
                failure.kind = AtTheProxy(failure.kind);
            }
        }
    }
    if (failure.kind == Kind::kCertificate) failure.certificate = CertificateProblem(failure.text);
    if (failure.kind == Kind::kTls && OnlyOutdatedTls(failure.text))
        failure.kind = Kind::kOutdatedTls;
    if (failure.kind == Kind::kTimedOut || failure.kind == Kind::kProxyTimedOut) {
        failure.time_limit = cause_ == Cause::kStalled ? session_.options.limits.stall_timeout
                                                       : session_.options.limits.connect_timeout;
    }
    if (failure.kind == Kind::kTooLarge)
        failure.size_limit = session_.options.limits.max_body_bytes;
    return failure;
}

}  // namespace urlclient
