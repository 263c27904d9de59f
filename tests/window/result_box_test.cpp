// The result box on its own: the text it reads back, the pieces it lays out a long paragraph in,
// and what a copy or an edit across those pieces gives.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <utility>

#include "tests/support/print_qstring.h"
#include "window/result_box.h"

namespace {

TEST(ResultBox, ReadsBackExactlyWhatWasSet) {
    QWidget wndParent;
    ResultBox box(&wndParent);
    box.resize(300, 200);
    const QString strLong = QString(100000, QChar(0x3042));
    struct {
        const char* strName;
        QString strText;
        QString strDocument;  // what the document holds, line breaks as CR LF
    } const cases[] = {
        {"empty", QString(), QString()},
        {"CR LF", QStringLiteral("一行目\r\n二行目\r\n"), QStringLiteral("一行目\r\n二行目\r\n")},
        {"lone no-break space", QString(QChar(0x00A0)), QString(QChar(0x00A0))},
        {"no-break spaces between words", QStringLiteral("a\u00A0b\u00A0\u00A0c"),
         QStringLiteral("a\u00A0b\u00A0\u00A0c")},
        {"lone LF and lone CR", QStringLiteral("a\nb\rc"), QStringLiteral("a\r\nb\r\nc")},
        {"CR CR LF", QStringLiteral("a\r\r\nb"), QStringLiteral("a\r\n\r\nb")},
        {"paragraph separator", QStringLiteral("a\u2029b"), QStringLiteral("a\r\nb")},
        {"long line", strLong, strLong},
        {"long lines", strLong + QStringLiteral("\r\n") + strLong,
         strLong + QStringLiteral("\r\n") + strLong},
    };
    for (const auto& cas : cases) {
        box.SetText(cas.strText);
        EXPECT_EQ(box.Text(), cas.strText) << cas.strName;
        EXPECT_EQ(box.Text().size(), cas.strText.size()) << cas.strName;
        EXPECT_EQ(box.property("text").toString(), cas.strText) << cas.strName;
        EXPECT_EQ(box.DocumentText(), cas.strDocument) << cas.strName;
    }
}

struct SeamCase {
    const char* strName;
    QString strText;
    int lngBlocks;      // pieces Qt lays out
    QChar chrPieceEnd;  // the character each piece but the last ends with, if any
};

TEST(ResultBox, LongParagraphsAreShownInPiecesThatReadBackWhole) {
    constexpr qsizetype kSpan = ResultBox::kSeamSpan;
    QString strSentences;
    while (strSentences.size() < 3 * kSpan) strSentences += QString(99, QChar(0x3042)) + u'。';
    QString strWords;
    while (strWords.size() < 3 * kSpan) strWords += QStringLiteral("word ");
    // One unit first, so that the span ends between the two halves of a pair.
    QString strPairs = QStringLiteral("x");
    for (qsizetype lngAt = 0; lngAt <= kSpan; ++lngAt) strPairs += QStringLiteral("𠮷");
    const SeamCase cases[] = {
        {"exactly one span", QString(kSpan, QChar(0x3042)), 1, QChar()},
        {"one more than a span", QString(kSpan + 1, QChar(0x3042)), 2, QChar()},
        {"a span, then a line break", QString(kSpan, u'x') + QStringLiteral("\r\ny"), 2, QChar()},
        {"a line break, then more than a span", QStringLiteral("y\r\n") + QString(kSpan + 1, u'x'),
         3, QChar()},
        {"no place to cut", QString(3 * kSpan + 5, QChar(0x3042)), 4, QChar()},
        {"sentences", strSentences, 4, QChar(u'。')},
        {"words", strWords, 4, QChar(u' ')},
        {"surrogate pairs", strPairs, 3, QChar()},
    };
    QWidget wndParent;
    ResultBox box(&wndParent);
    for (const SeamCase& cas : cases) {
        box.SetText(cas.strText);
        EXPECT_EQ(box.Text(), cas.strText) << cas.strName;
        EXPECT_EQ(box.DocumentText(), cas.strText) << cas.strName;
        ASSERT_EQ(box.document()->blockCount(), cas.lngBlocks) << cas.strName;
        for (QTextBlock blk = box.document()->begin(); blk.isValid(); blk = blk.next()) {
            ASSERT_FALSE(blk.text().isEmpty()) << cas.strName;
            // A pair that straddles the span's end stays whole in the piece it starts.
            EXPECT_LE(blk.length() - 1, kSpan + (blk.text().back().isLowSurrogate() ? 1 : 0))
                << cas.strName;
            EXPECT_FALSE(blk.text().front().isLowSurrogate()) << cas.strName;
            if (!cas.chrPieceEnd.isNull() && blk.next().isValid()) {
                EXPECT_EQ(blk.text().back(), cas.chrPieceEnd) << cas.strName;
            }
        }
    }
}

// A selection copies as the text it covers, a line break as LF and nothing at a seam, whichever
// way it was made: from its start down, or from its end up (where the cursor stands at its start).
// The piece span is lowered so that a paragraph of a hundred characters is eight pieces.
TEST(ResultBox, CopyingASelectionAddsNothingAtSeamsEitherWay) {
    QWidget wndParent;
    ResultBox box(&wndParent);
    box.lngSeamSpan = 12;
    // Every character distinct, so that each can be found in the document; a sentence ends now
    // and then, where a piece ends if it can.
    QString strText;
    for (int lngAt = 0; lngAt < 150; ++lngAt) {
        strText += QChar(0x4E00 + lngAt);
        if (lngAt % 17 == 16) strText += QString(QChar(0x3002)) + QChar(0x4F00 + lngAt);
        if (lngAt == 99) strText += QStringLiteral("\r\n");
        if (lngAt == 120) strText += QStringLiteral("\n");
    }
    box.SetText(strText);
    ASSERT_GT(box.document()->blockCount(), 10);
    // Where the k-th of those characters stands in the text and in the document.
    const auto TextAt = [&](int k) { return strText.indexOf(QChar(0x4E00 + k)); };
    const auto DocumentAt = [&](int k) {
        return box.document()->find(QString(QChar(0x4E00 + k))).selectionStart();
    };
    // The characters the selection runs between, the second not included.
    const std::pair<int, int> selections[] = {
        {1, 5},      // inside one piece
        {3, 20},     // across one seam
        {0, 95},     // across every seam of the paragraph
        {90, 110},   // across a seam and a line break
        {105, 125},  // across two line breaks
        {0, 149},
    };
    for (const auto& [lngFrom, lngTo] : selections) {
        QString strExpected = strText.mid(TextAt(lngFrom), TextAt(lngTo) - TextAt(lngFrom));
        strExpected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        for (const bool blnUpwards : {false, true}) {
            QTextCursor cur(box.document());
            cur.setPosition(DocumentAt(blnUpwards ? lngTo : lngFrom));
            cur.setPosition(DocumentAt(blnUpwards ? lngFrom : lngTo), QTextCursor::KeepAnchor);
            box.setTextCursor(cur);
            box.copy();
            EXPECT_EQ(QGuiApplication::clipboard()->text(), strExpected)
                << lngFrom << ' ' << lngTo << (blnUpwards ? " upwards" : " downwards");
        }
    }
}

TEST(ResultBox, EditingAcrossPiecesAddsNoLineBreaks) {
    QWidget wndParent;
    ResultBox box(&wndParent);
    wndParent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wndParent));
    const QString strText = QString(ResultBox::kSeamSpan * 2, QChar(0x3044)) +
                            QStringLiteral("\r\n") + QString(10, QChar(0x3046));
    box.SetText(strText);
    ASSERT_GT(box.document()->blockCount(), 2);

    box.setFocus();
    box.moveCursor(QTextCursor::End);
    QTest::keyClicks(&box, QStringLiteral("z"));
    QTest::keyClick(&box, Qt::Key_Return);
    EXPECT_EQ(box.Text(), strText + QStringLiteral("z\r\n"));
    // A line break typed in the middle of a piece is a real one.
    box.moveCursor(QTextCursor::Start);
    QTest::keyClick(&box, Qt::Key_Right);
    QTest::keyClick(&box, Qt::Key_Return);
    EXPECT_EQ(box.Text(),
              strText.left(1) + QStringLiteral("\r\n") + strText.mid(1) + QStringLiteral("z\r\n"));
}

TEST(ResultBox, EditedTextReadsBackWithCrLf) {
    QWidget wndParent;
    ResultBox box(&wndParent);
    wndParent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wndParent));
    box.SetText(QStringLiteral("一\r\n二\u00A0"));
    box.setFocus();
    box.moveCursor(QTextCursor::End);
    QTest::keyClick(&box, Qt::Key_Return);
    QTest::keyClicks(&box, QStringLiteral("c"));
    EXPECT_EQ(box.Text(), QStringLiteral("一\r\n二\u00A0\r\nc"));
    // Setting again forgets the edit.
    box.SetText(QStringLiteral("x"));
    EXPECT_EQ(box.Text(), QStringLiteral("x"));
}

}  // namespace
