// The URL the user meant, from what was typed or pasted: each rule of the clean-up, its variants
// and the edges of the part that is read as ASCII.

#include "window/clean_url.h"

#include <gtest/gtest.h>

#include "tests/support/print_qstring.h"

namespace {

struct CleanCase {
    const char* strName;
    QString strTyped;
    QString strMeant;
};

TEST(CleanUrl, TakesTheUrlAsMeant) {
    const CleanCase cases[] = {
        {"nothing to do", u"http://127.0.0.1:8080/page.html"_qs,
         u"http://127.0.0.1:8080/page.html"_qs},
        {"nothing at all", u""_qs, u""_qs},
        {"only white space and line breaks", u" \t\r\n\u3000\u200B"_qs, u""_qs},
        // Around the URL.
        {"white space and zero-width characters around",
         u" \t\u3000\u200B\uFEFFhttp://h/p \r\n\u3000\u2060\u200B"_qs, u"http://h/p"_qs},
        {"zero-width character inside kept", u"http://h/a\u200Bb"_qs, u"http://h/a\u200Bb"_qs},
        // Tab, LF and CR, from anywhere.
        {"LF in the path", u"http://h/pa\nge.html"_qs, u"http://h/page.html"_qs},
        {"CR LF in the path", u"http://h/pa\r\nge.html"_qs, u"http://h/page.html"_qs},
        {"tab in the host", u"http://ho\tst/"_qs, u"http://host/"_qs},
        {"line breaks in the scheme and query", u"ht\ntp://h/?q=a\r\nb"_qs, u"http://h/?q=ab"_qs},
        {"other white space inside kept", u"http://h/a b\u3000c"_qs, u"http://h/a b\u3000c"_qs},
        // Full-width up to the end of the host and port.
        {"all full-width up to the port",
         u"ｈｔｔｐｓ：／／ｗｗｗ．ｅｘａｍｐｌｅ．ｊｐ：８４４３／"_qs,
         u"https://www.example.jp:8443/"_qs},
        {"full-width up to the port, the path half-width",
         u"ｈｔｔｐ：／／１２７．０．０．１：８０８０／page.html"_qs,
         u"http://127.0.0.1:8080/page.html"_qs},
        {"only the colon full-width", u"http：//h/"_qs, u"http://h/"_qs},
        {"only a slash full-width", u"http:／/h/"_qs, u"http://h/"_qs},
        {"upper-case scheme", u"ＨＴＴＰ：／／ｈ／"_qs, u"HTTP://h/"_qs},
        {"user and password", u"ｆｔｐ：／／ｕｓｅｒ：ｐａｓｓ＠ｈ／ｆ"_qs,
         u"ftp://user:pass@h/ｆ"_qs},
        {"line break inside the full-width scheme", u"ｈｔ\r\nｔｐ：／／ｈ／"_qs, u"http://h/"_qs},
        {"ideographic space inside the host", u"http://ｅｘａ\u3000ｍｐｌｅ/"_qs,
         u"http://exa mple/"_qs},
        {"the edges of the full-width range", u"http://h！～/"_qs, u"http://h!~/"_qs},
        {"next to the full-width range", u"http://h\uFF00\uFF5F\uFF61/"_qs,
         u"http://h\uFF00\uFF5F\uFF61/"_qs},
        {"a Japanese host is left to IDNA", u"http://日本語．jp/"_qs, u"http://日本語.jp/"_qs},
        {"no scheme", u"ｗｗｗ．ｅｘａｍｐｌｅ．ｊｐ／検索"_qs, u"www.example.jp/検索"_qs},
        {"no scheme, a port", u"ｌｏｃａｌｈｏｓｔ：８０８０"_qs, u"localhost:8080"_qs},
        // The path, query and fragment keep their characters.
        {"full-width query kept", u"http://h/search？ｑ＝ｔｅｓｔ"_qs,
         u"http://h/search？ｑ＝ｔｅｓｔ"_qs},
        {"full-width question mark ends the host", u"ｈｔｔｐ：／／ｈ？ｑ＝ｔｅｓｔ"_qs,
         u"http://h?ｑ＝ｔｅｓｔ"_qs},
        {"full-width hash ends the host", u"http://h＃ａ"_qs, u"http://h#ａ"_qs},
        {"full-width path after a full-width slash", u"http://h／ａ／ｂ"_qs, u"http://h/ａ／ｂ"_qs},
        {"no scheme, full-width path", u"h/ａ：／／ｂ"_qs, u"h/ａ：／／ｂ"_qs},
    };
    for (const CleanCase& cas : cases) {
        EXPECT_EQ(CleanUrl(cas.strTyped), cas.strMeant) << cas.strName;
    }
}

}  // namespace
