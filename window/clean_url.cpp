#include "window/clean_url.h"

namespace {

// Nobody means a URL that begins or ends with white space or an invisible zero-width character.
bool IsStray(QChar chr) {
    return chr.isSpace() || chr == u'\u200B' || chr == u'\uFEFF' || chr == u'\u2060';
}

bool IsTabOrLineBreak(QChar chr) {
    return chr == u'\t' || chr == u'\n' || chr == u'\r';
}

// The ASCII character that a full-width form stands for; any other character as it is.
QChar ToAscii(QChar chr) {
    // U+FF01-U+FF5E lie 0xFEE0 above U+0021-U+007E, in the same order.
    if (chr.unicode() >= 0xFF01 && chr.unicode() <= 0xFF5E)
        return QChar(static_cast<char16_t>(chr.unicode() - 0xFEE0));
    if (chr == u'\u3000') return QChar(u' ');
    return chr;
}

bool IsSchemeCharacter(QChar chr) {
    const char16_t c = chr.unicode();
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'-' || c == u'.';
}

}  // namespace

QString CleanUrl(const QString& strTyped) {
    qsizetype lngFrom = 0;
    qsizetype lngTo = strTyped.size();
    while (lngFrom < lngTo && IsStray(strTyped.at(lngFrom))) ++lngFrom;
    while (lngTo > lngFrom && IsStray(strTyped.at(lngTo - 1))) --lngTo;

    QString strUrl;
    strUrl.reserve(lngTo - lngFrom);
    for (qsizetype i = lngFrom; i < lngTo; ++i) {
        if (!IsTabOrLineBreak(strTyped.at(i))) strUrl.append(strTyped.at(i));
    }

    // The scheme and its "://", if the URL starts with them once read as ASCII.
    qsizetype lngHost = 0;
    while (lngHost < strUrl.size() && IsSchemeCharacter(ToAscii(strUrl.at(lngHost)))) ++lngHost;
    const bool blnScheme =
        lngHost > 0 && lngHost + 3 <= strUrl.size() && ToAscii(strUrl.at(lngHost)) == u':' &&
        ToAscii(strUrl.at(lngHost + 1)) == u'/' && ToAscii(strUrl.at(lngHost + 2)) == u'/';
    lngHost = blnScheme ? lngHost + 3 : 0;
    // Then the user, host and port, up to and with the character that ends them.
    qsizetype lngEnd = lngHost;
    while (lngEnd < strUrl.size()) {
        const QChar chr = ToAscii(strUrl.at(lngEnd++));
        if (chr == u'/' || chr == u'?' || chr == u'#') break;
    }
    for (qsizetype i = 0; i < lngEnd; ++i) strUrl[i] = ToAscii(strUrl.at(i));
    return strUrl;
}
