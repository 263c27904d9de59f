#include "window/describe_reason.h"

#include <QUrl>
#include <chrono>
#include <cstdint>
#include <string>

namespace {

using Failure = urlclient::Failure;

QString FromClient(const std::string& strText) {
    return QString::fromStdString(strText);
}

// "60秒", or "0.5秒" for a limit that is not whole seconds.
QString SecondsText(std::chrono::milliseconds lngLimit) {
    if (lngLimit.count() % 1000 == 0) return QStringLiteral("%1秒").arg(lngLimit.count() / 1000);
    return QStringLiteral("%1秒").arg(static_cast<double>(lngLimit.count()) / 1000.0, 0, 'g', 3);
}

// "256MB", "16KB" or "1000バイト", as exact as the cap is.
QString BytesText(std::uint64_t lngBytes) {
    constexpr std::uint64_t kKilo = 1024;
    constexpr std::uint64_t kMega = kKilo * kKilo;
    if (lngBytes >= kMega && lngBytes % kMega == 0)
        return QStringLiteral("%1MB").arg(lngBytes / kMega);
    if (lngBytes >= kKilo && lngBytes % kKilo == 0)
        return QStringLiteral("%1KB").arg(lngBytes / kKilo);
    return QStringLiteral("%1バイト").arg(lngBytes);
}

// 「name」, or nothing for an empty name.
QString Quoted(const std::string& strName) {
    if (strName.empty()) return QString();
    return QStringLiteral("「%1」").arg(FromClient(strName));
}

// 「host」 as the user typed it: a Japanese domain name in its own letters rather than the xn--
// form the client sent. Nothing where libcurl could not name the host.
QString QuotedHost(const std::string& strHost) {
    const QString strShown = QUrl::fromAce(QByteArray::fromStdString(strHost));
    if (strShown.isEmpty()) return Quoted(strHost);
    return QStringLiteral("「%1」").arg(strShown);
}

// 「host:port」 of the proxy, or a plain word where it could not be named.
QString QuotedProxy(const std::string& strProxy) {
    if (strProxy.empty()) return QStringLiteral("サーバー");
    return Quoted(strProxy);
}

QString DescribeCertificate(const Failure& udtFailure) {
    const QString strWhat =
        QStringLiteral("サーバーの証明書が信頼できないため、接続しませんでした。\n");
    switch (udtFailure.certificate) {
        case Failure::Certificate::kSelfSigned:
            return strWhat +
                   QStringLiteral("理由: 自己署名の証明書で、信頼できる認証局の署名がありません。");
        case Failure::Certificate::kExpired:
            return strWhat + QStringLiteral("理由: 証明書の有効期限が切れています。");
        case Failure::Certificate::kUnknownIssuer:
            return strWhat + QStringLiteral("理由: 証明書の発行元（認証局）を確認できません。");
        case Failure::Certificate::kNameMismatch:
            return strWhat + QStringLiteral("理由: 証明書の名前がサーバー名%1と一致しません。")
                                 .arg(QuotedHost(udtFailure.host));
        case Failure::Certificate::kOther:
            break;
    }
    return strWhat + QStringLiteral("理由: ") + FromClient(udtFailure.text);
}

// The line of a page that came only in part.
QString DescribeIncomplete(const Failure& udtFailure) {
    const QString strReceived = QStringLiteral("%1バイト").arg(udtFailure.partial_bytes);
    QString strWhy;
    switch (udtFailure.kind) {
        case Failure::Kind::kZeroByte:
            strWhy = QStringLiteral("%1目にゼロのバイト（NUL）があり、そこから先は表示していません")
                         .arg(strReceived);
            break;
        case Failure::Kind::kTimedOut:
            strWhy = QStringLiteral("サーバー%1から%2のあいだ何も届かなくなりました（%3まで受信）")
                         .arg(QuotedHost(udtFailure.host), SecondsText(udtFailure.time_limit),
                              strReceived);
            break;
        case Failure::Kind::kCutOff:
            strWhy = QStringLiteral("受信の途中で接続が切れました（%1まで受信）").arg(strReceived);
            break;
        default:
            strWhy = QStringLiteral("受信の途中で打ち切られました（%1まで受信。%2）")
                         .arg(strReceived, FromClient(udtFailure.text));
            break;
    }
    return QStringLiteral("ページは完全ではありません: ") + strWhy;
}

// What to check when the proxy failed.
QString CheckProxySetting() {
    return QStringLiteral(
        "プロキシの設定（環境変数 http_proxy、https_proxy など）を確かめてください。");
}

}  // namespace

QString DescribeFailure(const Failure& udtFailure, const QString& strTyped) {
    using Kind = Failure::Kind;
    if (udtFailure.partial_bytes > 0) return DescribeIncomplete(udtFailure);
    const QString strHost = QuotedHost(udtFailure.host);
    const QString strProxy = QuotedProxy(udtFailure.proxy);
    const QString strDetail = QStringLiteral("詳細: ") + FromClient(udtFailure.text);
    switch (udtFailure.kind) {
        case Kind::kNone:
            return QString();
        case Kind::kOther:
            break;
        case Kind::kNoUrl:
            return QStringLiteral(
                "URLが入力されていません。\n"
                "読み込むページのURLを入力してから Go を押してください。");
        case Kind::kNoSession:
            return QStringLiteral("通信の準備ができなかったため、受信できませんでした。\n") +
                   strDetail;
        case Kind::kBadUrl:
            return QStringLiteral(
                       "URL%1の形式が正しくありません。\n"
                       "「http://www.example.jp/」のような形で入力してください。")
                .arg(strTyped.isEmpty() ? QString() : QStringLiteral("「%1」").arg(strTyped));
        case Kind::kUnsupportedScheme:
            return QStringLiteral(
                       "%1のURLには対応していません。\n"
                       "読み込めるのは http、https、ftp のURLです。")
                .arg(udtFailure.scheme.empty() ? QStringLiteral("この種類")
                                               : Quoted(udtFailure.scheme));
        case Kind::kRedirectScheme:
            return QStringLiteral(
                       "サーバーが%1のURLへリダイレクトしたため、読み込みを打ち切りました。\n"
                       "リダイレクトでたどるのは http と https のURLだけです。")
                .arg(udtFailure.scheme.empty() ? QStringLiteral("別の種類")
                                               : Quoted(udtFailure.scheme));
        case Kind::kHostNotFound:
            return QStringLiteral(
                       "サーバー%1が見つかりません。\n"
                       "URLのつづりと、ネットワークにつながっているかを確かめてください。")
                .arg(strHost);
        case Kind::kConnectionRefused:
            return QStringLiteral(
                       "サーバー%1に接続を拒否されました。\n"
                       "URLのポート番号と、サーバーが動いているかを確かめてください。")
                .arg(strHost);
        case Kind::kCouldNotConnect:
            return QStringLiteral(
                       "サーバー%1に接続できませんでした。\n"
                       "ネットワークにつながっているかを確かめてください。")
                .arg(strHost);
        case Kind::kTimedOut:
            return QStringLiteral(
                       "サーバー%1から%2のあいだ応答がありませんでした。\n"
                       "しばらくしてから、もう一度お試しください。")
                .arg(strHost, SecondsText(udtFailure.time_limit));
        case Kind::kProxyNotFound:
            return QStringLiteral("プロキシ%1が見つかりません。\n").arg(strProxy) +
                   CheckProxySetting();
        case Kind::kProxyConnectionRefused:
            return QStringLiteral("プロキシ%1に接続を拒否されました。\n").arg(strProxy) +
                   CheckProxySetting();
        case Kind::kProxyCouldNotConnect:
            return QStringLiteral("プロキシ%1に接続できませんでした。\n").arg(strProxy) +
                   CheckProxySetting();
        case Kind::kProxyTimedOut:
            return QStringLiteral("プロキシ%1から%2のあいだ応答がありませんでした。\n")
                       .arg(strProxy, SecondsText(udtFailure.time_limit)) +
                   CheckProxySetting();
        case Kind::kProxyNeedsLogin:
            return QStringLiteral(
                       "プロキシ%1がユーザー名とパスワードを求めています（HTTP %2）。\n"
                       "プロキシの環境変数に http://ユーザー名:パスワード@%3 "
                       "の形で書いてください。")
                .arg(strProxy)
                .arg(udtFailure.proxy_status)
                .arg(FromClient(udtFailure.proxy));
        case Kind::kProxyRefused:
            return QStringLiteral("プロキシ%1に中継を断られました（HTTP %2）。\n")
                       .arg(strProxy)
                       .arg(udtFailure.proxy_status) +
                   CheckProxySetting();
        case Kind::kCertificate:
            return DescribeCertificate(udtFailure);
        case Kind::kNoCertificateStore:
            return QStringLiteral(
                "このコンピューターに信頼できる認証局の証明書がないため、https "
                "のページを確かめられませんでした。\n"
                "パッケージ ca-certificates をインストールしてください（sudo apt install "
                "ca-certificates）。");
        case Kind::kTls:
            return QStringLiteral("サーバー%1との暗号化通信（TLS）を始められませんでした。\n")
                       .arg(strHost) +
                   strDetail;
        case Kind::kTooManyRedirects:
            return QStringLiteral(
                       "リダイレクトが%1回を超えたため、読み込みを打ち切りました。\n"
                       "転送先が循環している可能性があります。")
                .arg(urlclient::kMaxRedirects);
        case Kind::kTooLarge:
            return QStringLiteral(
                       "ページが大きすぎるため、読み込みを打ち切りました。\n"
                       "読み込めるのは%1までです。")
                .arg(BytesText(udtFailure.size_limit));
        case Kind::kHeadTooLarge:
            return QStringLiteral(
                       "サーバー%1の応答のヘッダーが大きすぎるため、読み込みを打ち切りました。\n"
                       "サーバーの設定に問題がある可能性があります。")
                .arg(strHost);
        case Kind::kCutOff:
            if (!udtFailure.proxy.empty()) {
                return QStringLiteral(
                           "ページを受け取る前に、プロキシ%1経由の接続が切れました。\n"
                           "しばらくしてから、もう一度お試しください。")
                    .arg(strProxy);
            }
            return QStringLiteral(
                "ページを受け取る前に、サーバーとの接続が切れました。\n"
                "しばらくしてから、もう一度お試しください。");
        case Kind::kNoMemory:
            return QStringLiteral(
                "メモリが足りないため、ページを受信できませんでした。\n"
                "ほかのアプリケーションを閉じてから、もう一度お試しください。");
        case Kind::kEmptyBody:
            if (udtFailure.http_status == 0) return QStringLiteral("受信したページは空でした。");
            return QStringLiteral("受信したページは空でした（HTTP %1）。")
                .arg(udtFailure.http_status);
        case Kind::kNoMemoryToConvert:
            return QStringLiteral(
                "メモリが足りないため、ページを変換できませんでした。\n"
                "ほかのアプリケーションを閉じてから、もう一度お試しください。");
        case Kind::kZeroByte:
            return QStringLiteral(
                "ページの先頭がゼロのバイト（NUL）のため、表示できる文字がありませんでした。");
        case Kind::kStopped:
            return QStringLiteral("受信を中止しました。");
    }
    return QStringLiteral("ページを受信できませんでした。\n") + strDetail;
}
