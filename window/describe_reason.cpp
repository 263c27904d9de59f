#include "window/describe_reason.h"

#include <QStringList>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <string>

namespace {

using Failure = urlclient::Failure;
using Origin = Module1::ProxyOrigin;
using DownloadFailure = Module1::DownloadFailure;

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

// `strUrl` without the user name and password it may carry ("http://user:pw@host/" gives
// "http://host/").
QString WithoutLogin(const std::string& strUrl) {
    QUrl url(QString::fromStdString(strUrl));
    if (!url.isValid()) return QString::fromStdString(strUrl);
    url.setUserInfo(QString());
    return url.toString();
}

// 「host:port」 of the proxy, or a plain word where it could not be named.
QString QuotedProxy(const std::string& strProxy) {
    if (strProxy.empty()) return QStringLiteral("サーバー");
    return Quoted(strProxy);
}

QString NoMemoryToReceive() {
    return QStringLiteral(
        "メモリが足りないため、ページを受信できませんでした。\n"
        "ほかのアプリケーションを閉じてから、もう一度お試しください。");
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

// Why the rest of a page that came in part is missing, as the URL client said: one clause.
QString WhyCutShort(const Failure& udtFailure, std::uint64_t lngReceived) {
    using Kind = Failure::Kind;
    const QString strReceived = QStringLiteral("%1バイト").arg(lngReceived);
    switch (udtFailure.kind) {
        case Kind::kTimedOut:
            return QStringLiteral("サーバー%1から%2のあいだ何も届かなくなりました（%3まで受信）")
                .arg(QuotedHost(udtFailure.host), SecondsText(udtFailure.time_limit), strReceived);
        case Kind::kProxyTimedOut:
            return QStringLiteral("プロキシ%1から%2のあいだ何も届かなくなりました（%3まで受信）")
                .arg(QuotedProxy(udtFailure.proxy), SecondsText(udtFailure.time_limit),
                     strReceived);
        case Kind::kCutOff:
            return QStringLiteral("受信の途中で接続が切れました（%1まで受信）").arg(strReceived);
        case Kind::kNone:
        case Kind::kNoSession:
        case Kind::kBadUrl:
        case Kind::kUnsupportedScheme:
        case Kind::kRedirectScheme:
        case Kind::kHostNotFound:
        case Kind::kConnectionRefused:
        case Kind::kCouldNotConnect:
        case Kind::kProxyNotFound:
        case Kind::kProxyConnectionRefused:
        case Kind::kProxyCouldNotConnect:
        case Kind::kProxyNeedsLogin:
        case Kind::kProxyRefused:
        case Kind::kCertificate:
        case Kind::kNoCertificateStore:
        case Kind::kOutdatedTls:
        case Kind::kTls:
        case Kind::kTooManyRedirects:
        case Kind::kTooLarge:
        case Kind::kHeadTooLarge:
        case Kind::kNoMemory:
        case Kind::kStopped:
        case Kind::kOther:
            break;
    }
    return QStringLiteral("受信の途中で打ち切られました（%1まで受信。%2）")
        .arg(strReceived, FromClient(udtFailure.text));
}

// The line of a page that came only in part: every reason found for it, the window's first.
QString DescribeIncomplete(const FetchFailure& udtFailure) {
    QStringList lstWhy;
    switch (udtFailure.kind) {
        case FetchFailure::Kind::kZeroByte:
            lstWhy << QStringLiteral(
                          "%1バイト目にゼロのバイト（NUL）があり、そこから先は表示していません")
                          .arg(udtFailure.lngShownBytes);
            break;
        case FetchFailure::Kind::kNone:
        case FetchFailure::Kind::kNoMemoryToConvert:
            break;
    }
    const DownloadFailure& udtDownload = udtFailure.udtDownload;
    if (udtDownload.partial_bytes > 0)
        lstWhy << WhyCutShort(udtDownload.client, udtDownload.partial_bytes);
    return QStringLiteral("ページは完全ではありません: ") + lstWhy.join(QStringLiteral("。"));
}

// What to check when the proxy failed, by where it came from.
QString CheckProxySetting(const Origin& udtOrigin) {
    switch (udtOrigin.kind) {
        case Origin::Kind::kVariable:
        case Origin::Kind::kDesktop:
        case Origin::Kind::kArgument:
            return QStringLiteral("プロキシの設定（%1）を確かめてください。")
                .arg(DescribeOrigin(udtOrigin));
        case Origin::Kind::kPacFile:
        case Origin::Kind::kWpad:
            return QStringLiteral(
                       "このプロキシは%1が指定したものです。プロキシの設定を確かめてください。")
                .arg(DescribeOrigin(udtOrigin));
        case Origin::Kind::kNone:
            break;
    }
    return QStringLiteral("プロキシの設定を確かめてください。");
}

// Where to give the user name and password that the proxy asks for.
QString GiveProxyLogin(const Origin& udtOrigin, const std::string& strProxy) {
    const QString strForm =
        QStringLiteral("http://ユーザー名:パスワード@%1").arg(FromClient(strProxy));
    switch (udtOrigin.kind) {
        case Origin::Kind::kVariable:
            return QStringLiteral("環境変数 %1 に %2 の形で書いてください。")
                .arg(FromClient(udtOrigin.variable), strForm);
        case Origin::Kind::kArgument:
            return QStringLiteral("指定するプロキシを %1 の形で書いてください。").arg(strForm);
        case Origin::Kind::kDesktop:
        case Origin::Kind::kPacFile:
        case Origin::Kind::kWpad:
        case Origin::Kind::kNone:
            break;
    }
    return QStringLiteral(
        "デスクトップのプロキシの設定で、ユーザー名とパスワード（認証）を確かめてください。");
}

// Why the URL client brought nothing.
QString DescribeClientFailure(const Failure& udtFailure, const Origin& udtOrigin,
                              const QString& strTyped) {
    using Kind = Failure::Kind;
    const QString strHost = QuotedHost(udtFailure.host);
    const QString strProxy = QuotedProxy(udtFailure.proxy);
    const QString strDetail = QStringLiteral("詳細: ") + FromClient(udtFailure.text);
    switch (udtFailure.kind) {
        case Kind::kNone:
        case Kind::kOther:
            break;
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
                   CheckProxySetting(udtOrigin);
        case Kind::kProxyConnectionRefused:
            return QStringLiteral("プロキシ%1に接続を拒否されました。\n").arg(strProxy) +
                   CheckProxySetting(udtOrigin);
        case Kind::kProxyCouldNotConnect:
            return QStringLiteral("プロキシ%1に接続できませんでした。\n").arg(strProxy) +
                   CheckProxySetting(udtOrigin);
        case Kind::kProxyTimedOut:
            return QStringLiteral("プロキシ%1から%2のあいだ応答がありませんでした。\n")
                       .arg(strProxy, SecondsText(udtFailure.time_limit)) +
                   CheckProxySetting(udtOrigin);
        case Kind::kProxyNeedsLogin:
            return QStringLiteral("プロキシ%1がユーザー名とパスワードを求めています（HTTP %2）。\n")
                       .arg(strProxy)
                       .arg(udtFailure.proxy_status) +
                   GiveProxyLogin(udtOrigin, udtFailure.proxy);
        case Kind::kProxyRefused:
            return QStringLiteral("プロキシ%1に中継を断られました（HTTP %2）。\n")
                       .arg(strProxy)
                       .arg(udtFailure.proxy_status) +
                   CheckProxySetting(udtOrigin);
        case Kind::kCertificate:
            return DescribeCertificate(udtFailure);
        case Kind::kNoCertificateStore:
            return QStringLiteral(
                "このコンピューターに信頼できる認証局の証明書がないため、https "
                "のページを確かめられませんでした。\n"
                "パッケージ ca-certificates をインストールしてください（sudo apt install "
                "ca-certificates）。");
        case Kind::kOutdatedTls:
            return QStringLiteral(
                       "サーバー%1は古い暗号化通信（TLS 1.1 以前）しか使えないため、"
                       "接続しませんでした。\n"
                       "古い TLS は安全ではありません。サーバーが TLS 1.2 以降に対応するまで、"
                       "このページは読み込めません。")
                .arg(strHost);
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
            return NoMemoryToReceive();
        case Kind::kStopped:
            return QStringLiteral("受信を中止しました。");
    }
    return QStringLiteral("ページを受信できませんでした。\n") + strDetail;
}

// Why the download brought nothing.
QString DescribeDownloadFailure(const DownloadFailure& udtFailure, const QString& strTyped) {
    using Kind = DownloadFailure::Kind;
    QString strWords;
    switch (udtFailure.kind) {
        case Kind::kNone:
            return QString();
        case Kind::kNoUrl:
            return QStringLiteral(
                "URLが入力されていません。\n"
                "読み込むページのURLを入力してから Go を押してください。");
        case Kind::kEmptyBody:
            if (udtFailure.http_status == 0) return QStringLiteral("受信したページは空でした。");
            return QStringLiteral("受信したページは空でした（HTTP %1）。")
                .arg(udtFailure.http_status);
        case Kind::kNoMemory:
            return NoMemoryToReceive();
        case Kind::kClient:
            strWords = DescribeClientFailure(udtFailure.client, udtFailure.origin, strTyped);
            break;
    }
    // A PAC file that could not be had sent the request straight to the server, which then failed
    // as well: that may be why.
    const Origin& udtOrigin = udtFailure.origin;
    if (udtOrigin.pac_unreadable && udtFailure.client.kind != Failure::Kind::kStopped) {
        strWords += QStringLiteral(
                        "\nプロキシ自動設定ファイル「%1」を読み込めなかったため、"
                        "サーバーに直接接続しました。")
                        .arg(WithoutLogin(udtOrigin.pac_url));
    }
    return strWords;
}

}  // namespace

QString DescribeOrigin(const Origin& udtOrigin) {
    switch (udtOrigin.kind) {
        case Origin::Kind::kNone:
            break;
        case Origin::Kind::kArgument:
            return QStringLiteral("指定されたプロキシ");
        case Origin::Kind::kVariable:
            return QStringLiteral("環境変数 %1").arg(FromClient(udtOrigin.variable));
        case Origin::Kind::kDesktop:
            return QStringLiteral("デスクトップのプロキシの設定");
        case Origin::Kind::kPacFile:
            return QStringLiteral("プロキシ自動設定ファイル「%1」")
                .arg(WithoutLogin(udtOrigin.pac_url));
        case Origin::Kind::kWpad:
            return QStringLiteral("ネットワークのプロキシ自動設定（WPAD）");
    }
    return QString();
}

QString DescribeFailure(const FetchFailure& udtFailure, const QString& strTyped) {
    const DownloadFailure& udtDownload = udtFailure.udtDownload;
    switch (udtFailure.kind) {
        case FetchFailure::Kind::kNone:
            if (udtDownload.partial_bytes > 0) return DescribeIncomplete(udtFailure);
            return DescribeDownloadFailure(udtDownload, strTyped);
        case FetchFailure::Kind::kZeroByte:
            if (udtFailure.lngShownBytes > 0) return DescribeIncomplete(udtFailure);
            return QStringLiteral(
                "ページの先頭がゼロのバイト（NUL）のため、表示できる文字がありませんでした。");
        case FetchFailure::Kind::kNoMemoryToConvert:
            return QStringLiteral(
                "メモリが足りないため、ページを変換できませんでした。\n"
                "ほかのアプリケーションを閉じてから、もう一度お試しください。");
    }
    return QString();
}
