#include "window/text/remove_tags.h"
#include "window/text/remove_tags_plain.h"

#include <gtest/gtest.h>

#include <ostream>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string Strip(std::string_view utf8) {
    const QString result =
        RemoveTags(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
    return result.toUtf8().toStdString();
}

std::string Plain(std::string_view utf8) {
    const QString result =
        RemoveTagsPlain(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
    return result.toUtf8().toStdString();
}

struct Case {
    const char* name;
    const char* in;
    const char* out;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

class RemoveTagsCase : public testing::TestWithParam<Case> {};

TEST_P(RemoveTagsCase, GivesExpectedText) {
    EXPECT_EQ(Strip(GetParam().in), GetParam().out) << "input: " << GetParam().in;
    // The plain rules the fuzz target compares with give the same.
    EXPECT_EQ(Plain(GetParam().in), GetParam().out) << "input: " << GetParam().in;
}

// Line breaks go before any rule runs, so nothing that spanned lines survives for that reason.
INSTANTIATE_TEST_SUITE_P(
    LineBreaks, RemoveTagsCase,
    testing::Values(Case{"PlainTextLosesOnlyLineBreaks", "日本語の\r\n文章です。\nSecond\rline",
                         "日本語の文章です。Secondline"},
                    Case{"LfCrIsTwoBreaks", "a\n\rb", "ab"}, Case{"OnlyBreaks", "\r\n\n\r\r", ""},
                    Case{"Empty", "", ""},
                    Case{"ScriptOverSeveralLines", "a<script>\r\nvar x = 1;\r\n</script>b", "ab"},
                    Case{"StyleOverSeveralLines", "a<style\n>p {}\n</style\n>b", "ab"},
                    Case{"CommentOverSeveralLines", "a<!--\r\nnote\r\n-->b", "ab"},
                    Case{"TagOverSeveralLines", "a<p\r\nclass=x>b", "ab"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(LineBreakTags, RemoveTagsCase,
                         testing::Values(Case{"Lower", "a<br>b", "a\r\nb"},
                                         Case{"Upper", "a<BR>b", "a\r\nb"},
                                         Case{"SpacesAround", "a<  bR  >b", "a\r\nb"},
                                         Case{"Consecutive", "<br><br>", "\r\n\r\n"},
                                         Case{"ClosingSlash", "a<br/>b", "a\r\nb"},
                                         Case{"SpaceAndSlash", "a<br />b", "a\r\nb"},
                                         Case{"Attribute", "a<BR clear=\"all\">b", "a\r\nb"},
                                         Case{"TabBeforeAttribute", "a<br\tclass=x>b", "a\r\nb"},
                                         Case{"NameOnlyBeginsWithBr", "a<bread>b", "ab"},
                                         Case{"ClosingBrTagIsRemoved", "a</br>b", "ab"},
                                         Case{"UnclosedStaysAsText", "a<br b", "a<br b"},
                                         Case{"UnclosedBeforeBreak", "a<br<br>b", "a<br\r\nb"}),
                         CaseName);

// Nested and unclosed elements, several on one line, and the order in which the rules run: these
// are where a linear-time engine could plausibly part from a backtracking one.
INSTANTIATE_TEST_SUITE_P(
    Elements, RemoveTagsCase,
    testing::Values(
        Case{"ScriptUpperCaseWithSpaces", "a< SCRIPT type=x>if (a<b) {}</Script  >b", "ab"},
        Case{"TwoScriptsOnOneLineKeepTextBetween", "a<script>x</script>b<script>y</script>c",
             "abc"},
        Case{"NestedScriptLeavesOuterRest", "<script>a<script>b</script>c</script>d", "cd"},
        Case{"UnclosedScriptLeavesContent", "a<script>x = 1", "ax = 1"},
        Case{"UnclosedScriptBeforeClosedOne", "a<script>x</scrip>y<script>z</script>w", "aw"},
        Case{"ScriptClosingRightAfterName", "a<script</script>b", "ab"},
        Case{"ScriptCloseMayHaveSpacesBeforeBracket", "a<script>x</script   >b", "ab"},
        Case{"ScriptWordInsideNameIsAScript", "a<scripts>x</script>b", "ab"},
        Case{"StyleNeedsOneCharacterOfContent", "a<style</style>b<style>x</style>c", "ac"},
        Case{"EmptyStyleElement", "a<style></style>b", "ab"},
        Case{"TwoStylesOnOneLine", "<style>p{}</style>text<STYLE>q{}</STYLE>", "text"},
        Case{"ShortestComment", "a<!---->b", "ab"}, Case{"ArrowIsNoComment", "a<!-->b", "ab"},
        Case{"CommentHoldingTags", "a<!-- <p>x</p> -- y -->b", "ab"},
        Case{"TwoCommentsOnOneLine", "<!--x-->a<!--y-->", "a"},
        Case{"UnclosedCommentStays", "a<!-- note", "a<!-- note"},
        Case{"ScriptRuleRunsBeforeComments", "a<!-- <script> -->b</script>c", "a<!-- c"},
        Case{"CommentInsideScriptGoesWithIt", "a<script><!-- x --></script>b", "ab"},
        Case{"CommentRemovalJoinsAStyle", "<sty<!-- -->le>p{}</style>x", "x"},
        Case{"CommentRemovalJoinsNoScript", "<scr<!-- -->ipt>x</script>y", "xy"},
        Case{"ScriptRemovalJoinsATag", "a<<script>x</script>b>c", "ac"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    StrayBrackets, RemoveTagsCase,
    testing::Values(Case{"LessThanWithNoGreaterThan", "a < b", "a < b"},
                    Case{"TextBetweenComparisonsIsATag", "1<2 and 3>2", "12"},
                    Case{"EmptyBracketsStay", "a<>b", "a<>b"},
                    Case{"BracketAfterEmptyBracketsCloses", "a<>>b", "ab"},
                    Case{"RunOfLessThanIsOneTag", "a<<<<p>b", "ab"},
                    Case{"GreaterThanAloneStays", "a > b", "a > b"},
                    Case{"BreakInsideTagSplitsIt", "<a <br> b>", "<a \r\n b>"},
                    Case{"NextGreaterThanBeyondInsertedBreak", "a<b<br>c>d", "a<b\r\nc>d"},
                    Case{"TagAfterInsertedBreakStillGoes", "a<b<br><i>c", "a<b\r\nc"},
                    Case{"TagBeforeInsertedBreakStillGoes", "<i>a<br>b", "a\r\nb"}),
    CaseName);

// Entities are decoded once, left to right, after the tags are gone.
INSTANTIATE_TEST_SUITE_P(
    Entities, RemoveTagsCase,
    testing::Values(Case{"FiveEntities", "&quot;&amp;&gt;&lt;&nbsp;", "\"&>< "},
                    Case{"QuotWithoutSemicolon", "&quotx&quot", "\"x\""},
                    Case{"QuotWithSemicolonLeavesNone", "say &quot;hi&quot;;", "say \"hi\";"},
                    Case{"EncodedAmpersandIsNotDecodedAgain", "&amp;lt;&amp;amp;", "&lt;&amp;"},
                    Case{"EncodedQuotIsNotDecodedAgain", "&amp;quot;", "&quot;"},
                    Case{"AmpersandBeforeEntity", "&&lt;&;", "&<&;"},
                    Case{"EncodedTagStaysVisible", "&lt;b&gt;bold&lt;/b&gt;", "<b>bold</b>"},
                    Case{"EncodedBreakIsNoBreak", "a&lt;br&gt;b", "a<br>b"},
                    Case{"EntityJoinedByTagRemoval", "&am<i>p;", "&"},
                    Case{"CaseMatters", "&AMP;&Lt;&QUOT;", "&AMP;&Lt;&QUOT;"},
                    Case{"NumericAndOtherNamesUntouched", "&#60;&#x3C;&copy;&hellip;",
                         "&#60;&#x3C;&copy;&hellip;"},
                    Case{"SemicolonRequiredButForQuot", "&lt &gt &amp &nbsp", "&lt &gt &amp &nbsp"},
                    Case{"EntityAtEnd", "x&lt;", "x<"}, Case{"CutEntityAtEnd", "x&l", "x&l"}),
    CaseName);

TEST(RemoveTags, LeavesInputUnchanged) {
    const QString strHtml = QStringLiteral("<p>a</p>\r\n");
    const QString copy = strHtml;
    EXPECT_EQ(RemoveTags(strHtml), QStringLiteral("a"));
    EXPECT_EQ(strHtml, copy);
}

TEST(RemoveTags, KeepsCharactersOutsideTheBasicPlane) {
    // One emoji is two UTF-16 code units, and stays two.
    const QString in = QString::fromUtf8("<b>\xF0\x9F\x98\x80</b>&lt;");
    const QString out = RemoveTags(in);
    EXPECT_EQ(out, QString::fromUtf8("\xF0\x9F\x98\x80<"));
    EXPECT_EQ(out.size(), 3);
}

TEST(RemoveTags, NulCharacterIsAnOrdinaryCharacter) {
    // A tag may hold one, and text around tags keeps it.
    const QString in = QString(QChar(0)) + QStringLiteral("<p") + QChar(0) + QStringLiteral(">b");
    EXPECT_EQ(RemoveTags(in), QString(QChar(0)) + QStringLiteral("b"));
}

TEST(RemoveTags, LoneSurrogateStaysOneCodeUnit) {
    // It cannot travel through UTF-8 as itself; it comes back as one replacement character, so the
    // count of characters after it is still right.
    QString in = QStringLiteral("a<i>b</i>c");
    in.insert(1, QChar(0xD800));
    const QString out = RemoveTags(in);
    ASSERT_EQ(out.size(), 4);
    EXPECT_EQ(out.at(0), QLatin1Char('a'));
    EXPECT_FALSE(out.at(1).isSurrogate());
    EXPECT_EQ(out.mid(2), QStringLiteral("bc"));
}

// Large hostile inputs give the right text; how long they take is measured in bench/tags.
TEST(RemoveTags, HostileInputsKeepTheirText) {
    std::string unclosedScripts;
    for (int i = 0; i < 20000; ++i) unclosedScripts += "<script";
    EXPECT_EQ(Strip(unclosedScripts), unclosedScripts);

    std::string lessThans(200000, '<');
    EXPECT_EQ(Strip(lessThans), lessThans);
    EXPECT_EQ(Strip(lessThans + "a>b"), "b");

    std::string comments;
    for (int i = 0; i < 20000; ++i) comments += "<!--<br>";
    std::string expected;
    for (int i = 0; i < 20000; ++i) expected += "<!--\r\n";
    EXPECT_EQ(Strip(comments), expected);
    EXPECT_EQ(Strip(comments + "-->x"), "x");
}

// Texts up to the kept room's size work in room kept from the call before, longer ones in room of
// their own: each in turn gives its own text, whatever size came before it.
TEST(RemoveTags, KeptRoomServesEachSizeInTurn) {
    TextSizes udtSmall;
    udtSmall.lngKeptRoom = 64;
    const QString strPiece = QStringLiteral("<p>日本&amp;<br>語</p>\r\n");
    const auto Page = [&](qsizetype lngUnits) {
        QString strPage;
        while (strPage.size() < lngUnits) strPage += strPiece;
        return strPage.left(lngUnits);
    };
    // Below the room, a very large text, a larger one, then back below, at the edge and past it;
    // last, the program's own sizes after the room was kept small.
    for (const qsizetype lngUnits : {40, 4000, 9000, 50, 64, 65, 64, 3}) {
        const QString strPage = Page(lngUnits);
        EXPECT_EQ(RemoveTags(strPage, udtSmall), RemoveTagsPlain(strPage)) << lngUnits;
    }
    const QString strPage = Page(500);
    EXPECT_EQ(RemoveTags(strPage), RemoveTagsPlain(strPage));
}

// The non-ASCII units are counted sixteen at a time into lanes that hold 255 each: a stretch of
// more than 255 blocks, kept or dropped once one unit has been dropped, keeps its count.
TEST(RemoveTags, LongStretchesOfKanjiKeepTheirCount) {
    const QString strKanji = QString(5000, QChar(0x65E5));
    const QString texts[] = {
        QStringLiteral("<p title=あ>") + strKanji + QStringLiteral("<br>い"),
        QStringLiteral("う<!--") + strKanji + QStringLiteral("-->え<i>") + strKanji,
    };
    for (const QString& strText : texts) {
        EXPECT_EQ(RemoveTags(strText), RemoveTagsPlain(strText)) << strText.size();
    }
}

// Pages written the way real ones are, with their text as a reader should see it.
TEST(RemoveTags, JapanesePage) {
    const char* page =
        "<!DOCTYPE html>\r\n"
        "<html lang=\"ja\">\r\n"
        "<head>\r\n"
        "<meta charset=\"Shift_JIS\">\r\n"
        "<title>お知らせ &amp; 更新情報</title>\r\n"
        "<STYLE type=\"text/css\">\r\n"
        "body { font-family: \"ＭＳ ゴシック\"; }\r\n"
        "p > a { color: red; }\r\n"
        "</STYLE>\r\n"
        "<script type=\"text/javascript\">\r\n"
        "<!--\r\n"
        "if (a < b && c > d) { document.write(\"<p>広告</p>\"); }\r\n"
        "// -->\r\n"
        "</script>\r\n"
        "</head>\r\n"
        "<body>\r\n"
        "<!-- ヘッダー ここから -->\r\n"
        "<h1>今日の天気</h1>\r\n"
        "<p>東京は晴れ、最高気温は２５度です。<br>\r\n"
        "大阪は&quot;くもり&quot;のち雨。<BR>\r\n"
        "詳しくは<a href=\"/weather?city=tokyo&amp;day=1\">こちら</a>&nbsp;へ。<br />\r\n"
        "<img src=\"sun.png\" alt=\"晴れ\">気温&gt;２０度&lt;３０度</p>\r\n"
        "<script>var x = \"</scr\" + \"ipt>\";</script>\r\n"
        "<script>document.write(\"<script src=ad.js></script>\");</script>\r\n"
        "<p>&copy; 2024 天気&#12398;会社</p>\r\n"
        "</body>\r\n"
        "</html>\r\n";
    // A script that writes a whole script element ends at the first closing tag, as in a browser;
    // what follows it is text.
    EXPECT_EQ(Strip(page), Plain(page));
    EXPECT_EQ(Strip(page),
              "お知らせ & 更新情報今日の天気東京は晴れ、最高気温は２５度です。\r\n"
              "大阪は\"くもり\"のち雨。\r\n"
              "詳しくはこちら へ。\r\n"
              "気温>２０度<３０度\");&copy; 2024 天気&#12398;会社");
}

TEST(RemoveTags, EnglishPage) {
    const char* page =
        "<html><head><title>Release notes</title>\n"
        "<style>\n"
        "  .note { color: #333 }\n"
        "</style>\n"
        "<script src=\"app.js\"></script>\n"
        "<SCRIPT>\n"
        "  for (var i = 0; i<n; i++) { total += i; }\n"
        "</SCRIPT >\n"
        "</head>\n"
        "<body class=\"main\">\n"
        "<h2>Version 2.0</h2><!-- was 1.9 -->\n"
        "<ul><li>Faster &amp; smaller</li><li>Tags like &lt;br&gt; are shown</li></ul>\n"
        "Line one<br/>Line two<Br clear=\"all\">Line three\n"
        "<p>Use x &lt; y; &quotquoted&quot; text &amp;amp; more.</p>\n"
        "<p>Stops if a <= b, as said.</p><p>Next</p>\n"
        "</body></html>\n";
    EXPECT_EQ(Strip(page), Plain(page));
    EXPECT_EQ(Strip(page),
              "Release notesVersion 2.0Faster & smallerTags like <br> are shown"
              "Line one\r\nLine two\r\nLine three"
              "Use x < y; \"quoted\" text &amp; more.Stops if a Next");
}

TEST(RemoveTags, AgreesWithThePlainRulesOnGeneratedText) {
    // Pieces chosen so that random strings hit the rules' boundaries: openings and closings of
    // every kind, in both cases, with spaces, cut short, next to line breaks and entities.
    const std::vector<std::string_view> pieces = {
        "<",       ">",      " ",   "a",        "日本",       "\r\n",     "\n",    "\r",
        "script",  "SCRIPT", "</",  "</script", "</SCRIPT >", "<script>", "style", "</style",
        "<STYLE>", "<!--",   "-->", "--",       "!",          "br",       "BR",    "<br>",
        "<br",     "/",      "\t",  "=",        "\"",         "&",        "&amp;", "&lt;",
        "&gt",     "&quot",  ";",   "&nbsp;",   "lt;",        "p",        "<b>",   "ad>",
    };
    std::mt19937 random(20240607);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    // Short texts hit the byte-at-a-time ends of the scans, long ones their sixteen-byte middles.
    for (const auto& [count, longest] : {std::pair{20000, 24}, std::pair{2000, 160}}) {
        std::uniform_int_distribution<int> length(0, longest);
        for (int i = 0; i < count; ++i) {
            std::string in;
            for (int n = length(random); n > 0; --n) in += pieces[pick(random)];
            ASSERT_EQ(Strip(in), Plain(in)) << "input: " << testing::PrintToString(in);
        }
    }
}

}  // namespace
