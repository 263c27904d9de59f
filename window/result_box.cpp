#include "window/result_box.h"

#include <QMimeData>
#include <QScopedValueRollback>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <algorithm>
#include <exception>
#include <vector>

#include "window/report_and_end.h"
#include "window/text/large_pages.h"

namespace {

// Marks a block of the result box that goes on from the one before, with no line break between.
constexpr int kSeamState = 1;

bool IsLineBreak(QChar chr) {
    return chr == u'\r' || chr == u'\n' || chr == QChar::ParagraphSeparator;
}

// Where a long paragraph may be cut for display: after a sentence, a clause or a word.
bool IsSeamAfter(QChar chr) {
    switch (chr.unicode()) {
        case u'\u3002':  // 。
        case u'\u3001':  // 、
        case u'\uFF0E':  // ．
        case u'\uFF01':  // ！
        case u'\uFF1F':  // ？
        case u'.':
        case u'!':
        case u'?':
            return true;
        default:
            return chr.isSpace();
    }
}

// True when some paragraph of `strText` runs on for more than `lngSpan` units.
bool HasParagraphLongerThan(const QString& strText, qsizetype lngSpan) {
    const char16_t* const pch = reinterpret_cast<const char16_t*>(strText.constData());
    const qsizetype lngLength = strText.size();
    qsizetype lngRun = 0;
    qsizetype lngAt = 0;
#if defined(__SSE2__)
    // Eight units at a time where none of them is a break.
    for (; lngLength - lngAt >= 8; lngAt += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pch + lngAt));
        const __m128i breaks =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16(u'\r')),
                                      _mm_cmpeq_epi16(units, _mm_set1_epi16(u'\n'))),
                         _mm_cmpeq_epi16(units, _mm_set1_epi16(u'\u2029')));
        const int lngMask = _mm_movemask_epi8(breaks);
        if (lngMask == 0) {
            lngRun += 8;
        } else {
            // Each unit is two bits of the mask: the run goes on after the last break.
            lngRun = 7 - (31 - __builtin_clz(static_cast<unsigned>(lngMask))) / 2;
        }
        if (lngRun > lngSpan) return true;
    }
#endif
    for (; lngAt < lngLength; ++lngAt) {
        lngRun = IsLineBreak(QChar(pch[lngAt])) ? 0 : lngRun + 1;
        if (lngRun > lngSpan) return true;
    }
    return false;
}

// The text as the result box hands it to Qt: each CR LF, lone CR or lone LF becomes one "\n", and a
// paragraph longer than `lngSpanSet` units is cut into pieces by further "\n"s, whose block
// numbers go into `lngSeamBlocks`. A cut goes after the last sentence, clause or word end in the
// final eighth of the span, else at the span's end; never inside a surrogate pair, and only where
// more of the paragraph follows. The runs between breaks are copied whole: a page is megabytes.
QString SplitForDisplay(const QString& strText, qsizetype lngSpanSet,
                        std::vector<int>& lngSeamBlocks) {
    const qsizetype lngSpan = std::max<qsizetype>(lngSpanSet, 8);
    // Qt reads CR LF, a lone CR and a lone LF as one break each itself: a text without a long
    // paragraph goes to it as it is, and no copy of a page is made.
    if (!HasParagraphLongerThan(strText, lngSpan)) return strText;
    const qsizetype lngLookBack = lngSpan / 8;
    const QChar* const chrs = strText.constData();
    const qsizetype lngLength = strText.size();
    // A seam comes at most once per lngSpan - lngLookBack characters of a paragraph.
    QString strShown(lngLength + lngLength / (lngSpan - lngLookBack) + 1, Qt::Uninitialized);
    QChar* const chrsOut = strShown.data();
    // Fresh memory costs most in its page faults. Every unit but the LF of a CR LF is copied.
    AdviseLargePages(chrsOut, static_cast<std::size_t>(strShown.size()) * sizeof(QChar));
    PrefaultPages(chrsOut, static_cast<std::size_t>(lngLength / 2) * sizeof(QChar));
    qsizetype lngOut = 0;
    qsizetype lngLineStart = 0;  // where the current block starts in strShown
    int lngBlock = 0;
    qsizetype lngAt = 0;
    while (lngAt < lngLength) {
        qsizetype lngBreak = lngAt;
        while (lngBreak < lngLength && !IsLineBreak(chrs[lngBreak])) ++lngBreak;
        while (lngAt < lngBreak) {
            if (lngOut - lngLineStart >= lngSpan && !chrs[lngAt].isLowSurrogate()) {
                qsizetype lngCut = lngOut;  // the seam goes before this index
                for (qsizetype lngBack = lngOut - 1; lngBack > lngOut - lngLookBack; --lngBack) {
                    if (IsSeamAfter(chrsOut[lngBack])) {
                        lngCut = lngBack + 1;
                        break;
                    }
                }
                std::copy_backward(chrsOut + lngCut, chrsOut + lngOut, chrsOut + lngOut + 1);
                chrsOut[lngCut] = u'\n';
                ++lngOut;
                lngLineStart = lngCut + 1;
                lngSeamBlocks.push_back(++lngBlock);
            }
            // As much of the run as keeps the line within the span, and at least one character.
            const qsizetype lngCopy =
                std::min(lngBreak - lngAt, std::max<qsizetype>(1, lngLineStart + lngSpan - lngOut));
            std::copy(chrs + lngAt, chrs + lngAt + lngCopy, chrsOut + lngOut);
            lngOut += lngCopy;
            lngAt += lngCopy;
        }
        if (lngAt == lngLength) break;
        const QChar chr = chrs[lngAt++];
        if (chr == u'\r' && lngAt < lngLength && chrs[lngAt] == u'\n') ++lngAt;
        chrsOut[lngOut++] = chr == QChar::ParagraphSeparator ? chr : QChar(u'\n');
        lngLineStart = lngOut;
        ++lngBlock;
    }
    strShown.truncate(lngOut);
    return strShown;
}
}  // namespace

ResultBox::ResultBox(QWidget* parent) : QPlainTextEdit(parent) {
    // Long lines wrap at the box's width, anywhere if need be: Japanese text has no spaces.
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the next control, as in the other boxes, rather than typing a tab.
    setTabChangesFocus(true);
    connect(this, &QPlainTextEdit::textChanged, this, &ResultBox::NoteEdit);
}

QString ResultBox::Text() const {
    return blnEdited ? DocumentText() : strSet;
}

void ResultBox::SetText(const QString& strText) {
    // The text shown before goes first, so that a long page's old and new texts are never held at
    // once. (A copy of the new one shares its characters: it stays, should it be the old one too.)
    const QString strNew = strText;
    std::vector<int> lngSeamBlocks;
    {
        QScopedValueRollback<bool> setting(blnSetting, true);
        strSet = QString();
        document()->clear();
        setPlainText(SplitForDisplay(strNew, lngSeamSpan, lngSeamBlocks));
    }
    QTextDocument* doc = document();
    for (int lngBlock : lngSeamBlocks) doc->findBlockByNumber(lngBlock).setUserState(kSeamState);
    strSet = strNew;
    blnEdited = false;
}

void ResultBox::SetPlaceholder(const QString& strWords) {
    if (strWords == placeholderText()) return;
    setPlaceholderText(strWords);
    viewport()->update();
}

QString ResultBox::DocumentText() const {
    QString strText;
    for (QTextBlock blk = document()->begin(); blk.isValid(); blk = blk.next()) {
        if (blk != document()->begin() && blk.userState() != kSeamState) {
            strText += QStringLiteral("\r\n");
        }
        strText += blk.text();
    }
    return strText;
}

QMimeData* ResultBox::createMimeDataFromSelection() const try {
    // What Qt would copy, less the breaks it would put at seams.
    const QTextCursor cur = textCursor();
    QString strText = cur.selectedText();
    QTextBlock blk = document()->findBlock(cur.selectionStart());
    qsizetype lngTo = 0;
    for (qsizetype lngFrom = 0; lngFrom < strText.size(); ++lngFrom) {
        const QChar chr = strText.at(lngFrom);
        if (chr != QChar::ParagraphSeparator) {
            strText[lngTo++] = chr;
            continue;
        }
        blk = blk.next();
        if (blk.userState() != kSeamState) strText[lngTo++] = u'\n';
    }
    strText.truncate(lngTo);
    auto* mim = new QMimeData;
    mim->setText(strText);
    return mim;
} catch (...) {
    // Qt calls this from its key and menu handling, which cannot carry an exception; a copy too
    // large for the memory left ends the program as any handler's unexpected error does.
    ReportAndEnd(DescribeError(std::current_exception()));
}

void ResultBox::NoteEdit() {
    if (!blnSetting) blnEdited = true;
}
