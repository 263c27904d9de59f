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

QString StoppedText() {
    return QStringLiteral("受信を中止しました。");
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

QString DescribeFailure(const Failure& udtFailure) {
    const QString strHost = QuotedHost(udtFailure.host);
    const QString strDetail = QStringLiteral("詳細: ") + FromClient(udtFailure.text);
    switch (udtFailure.kind) {
        case Failure::Kind::kNone:
        case Failure::Kind::kOther:
            break;
        case Failure::Kind::kNoSession:
            return QStringLiteral("通信の準備ができなかったため、受信できませんでした。\n") +
                   strDetail;
        case Failure::Kind::kBadUrl:
            return QStringLiteral(
                "URLの形式が正しくありません。\n"
                "「http://www.example.jp/」のような形で入力してください。");
        case Failure::Kind::kUnsupportedScheme:
            return QStringLiteral(
                       "%1のURLには対応していません。\n"
                       "読み込めるのは http、https、ftp のURLです。")
                .arg(udtFailure.scheme.empty() ? QStringLiteral("この種類")
                                               : Quoted(udtFailure.scheme));
        case Failure::Kind::kHostNotFound:
            return QStringLiteral(
                       "サーバー%1が見つかりません。\n"
                       "URLのつづりと、ネットワークにつながっているかを確かめてください。")
                .arg(strHost);
        case Failure::Kind::kProxyNotFound:
            return QStringLiteral(
                "プロキシサーバーが見つかりません。\n"
                "プロキシの設定（環境変数 http_proxy など）を確かめてください。");
        case Failure::Kind::kConnectionRefused:
            return QStringLiteral(
                       "サーバー%1に接続を拒否されました。\n"
                       "URLのポート番号と、サーバーが動いているかを確かめてください。")
                .arg(strHost);
        case Failure::Kind::kCouldNotConnect:
            return QStringLiteral(
                       "サーバー%1に接続できませんでした。\n"
                       "ネットワークにつながっているかを確かめてください。")
                .arg(strHost);
        case Failure::Kind::kTimedOut:
            return QStringLiteral(
                       "サーバー%1から%2のあいだ応答がありませんでした。\n"
                       "しばらくしてから、もう一度お試しください。")
                .arg(strHost, SecondsText(udtFailure.time_limit));
        case Failure::Kind::kCertificate:
            return DescribeCertificate(udtFailure);
        case Failure::Kind::kTls:
            return QStringLiteral("サーバーとの暗号化通信（TLS）を始められませんでした。\n") +
                   strDetail;
        case Failure::Kind::kTooManyRedirects:
            return QStringLiteral(
                       "リダイレクトが%1回を超えたため、読み込みを打ち切りました。\n"
                       "転送先が循環している可能性があります。")
                .arg(urlclient::kMaxRedirects);
        case Failure::Kind::kTooLarge:
            return QStringLiteral(
                       "ページが大きすぎるため、読み込みを打ち切りました。\n"
                       "読み込めるのは%1までです。")
                .arg(BytesText(udtFailure.size_limit));
        case Failure::Kind::kCutOff:
            return QStringLiteral(
                "ページを受け取る前に、サーバーとの接続が切れました。\n"
                "しばらくしてから、もう一度お試しください。");
        case Failure::Kind::kNoMemory:
            return QStringLiteral(
                "メモリが足りないため、ページを受信できませんでした。\n"
                "ほかのアプリケーションを閉じてから、もう一度お試しください。");
        case Failure::Kind::kStopped:
            return StoppedText();
    }
    return QStringLiteral("ページを受信できませんでした。\n") + strDetail;
}

}  // namespace

QString DescribeReason(const FetchResult& result) {
    switch (result.kind) {
        case FetchResult::Kind::kText:
        case FetchResult::Kind::kUnexpectedError:
            return QString();
        case FetchResult::Kind::kStopped:
            return StoppedText();
        case FetchResult::Kind::kNoMemory:
            return QStringLiteral(
                "メモリが足りないため、ページを変換できませんでした。\n"
                "ほかのアプリケーションを閉じてから、もう一度お試しください。");
        case FetchResult::Kind::kNothing:
            break;
    }
    const Module1::Reason& udtReason = result.udtReason;
    switch (udtReason.kind) {
        case Module1::Reason::Kind::kNone:
        case Module1::Reason::Kind::kClient:
            break;
        case Module1::Reason::Kind::kNoUrl:
            return QStringLiteral(
                "URLが入力されていません。\n"
                "読み込むページのURLを入力してから Go を押してください。");
        case Module1::Reason::Kind::kEmptyBody:
            if (udtReason.http_status == 0) return QStringLiteral("受信したページは空でした。");
            return QStringLiteral("受信したページは空でした（HTTP %1）。")
                .arg(udtReason.http_status);
    }
    return DescribeFailure(udtReason.client);
}
