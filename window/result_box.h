#pragma once

#include <QPlainTextEdit>
#include <QString>

class QMimeData;
class QWidget;

// The result box: a multi-line text box whose text reads back exactly as it was set.
//
// Qt's document keeps paragraphs rather than the line breaks it was given, hands back "\n" for them
// and turns a no-break space into a plain one, so the character count would drift from what was
// set. The box therefore keeps the text it was last given and returns that until the user edits it;
// after an edit it reads the document, with every line break counted as CR LF.
//
// Tag removal leaves a page as one paragraph of megabytes, and Qt lays out a paragraph whole before
// it can show any of it. So the box shows a very long paragraph as a run of shorter ones ("seams"
// join them: no line break is read back or copied there), ending each where a sentence or a word
// ends if it can; only the pieces on screen are then laid out. A piece is short enough to lay out
// in a few milliseconds, so the first screen of any page shows at once. The one visible trace is a
// line that ends a little early at each seam, about one in sixty lines at the window's first size.
class ResultBox : public QPlainTextEdit {
    Q_OBJECT
    Q_PROPERTY(QString text READ Text WRITE SetText)

public:
    explicit ResultBox(QWidget* parent);

    // The text shown, with CR LF line breaks.
    QString Text() const;
    // Shows `strText`. CR LF, a lone CR and a lone LF each start a new line on screen.
    void SetText(const QString& strText);

    // The text as the document holds it now, seams joined and line breaks as CR LF. Equal to
    // Text() until the user edits the box, and what Text() returns after.
    QString DocumentText() const;

    // Sets the grey words the box shows while it is empty, and shows them at once: Qt repaints
    // only when the placeholder appears or goes, not when its words change while it shows.
    void SetPlaceholder(const QString& strWords);

    // The longest piece of a paragraph laid out on its own, in UTF-16 units: some sixty lines of
    // Japanese at the window's first size. Laying out a piece takes time in proportion to its
    // length.
    static constexpr qsizetype kSeamSpan = 2048;
    // The span the box cuts at, kSeamSpan unless a test lowers it (to 8 at least) to make pieces
    // of short texts. Takes effect at the next SetText.
    qsizetype lngSeamSpan = kSeamSpan;

protected:
    QMimeData* createMimeDataFromSelection() const override;

private:
    void NoteEdit();

    QString strSet;
    bool blnSetting = false;
    bool blnEdited = false;
};
