#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>
#include <optional>

class QCheckBox;
class QLineEdit;
class QPushButton;

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
// ends if it can; only the pieces on screen are then laid out. The one visible trace is a line that
// ends a little early at each seam, one in several hundred lines.
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

    // The longest piece of a paragraph laid out on its own, in UTF-16 units.
    static constexpr qsizetype kSeamSpan = 8192;

protected:
    QMimeData* createMimeDataFromSelection() const override;

private:
    void NoteEdit();

    QString strSet;
    bool blnSetting = false;
    bool blnEdited = false;
};

// The program's one window: a URL box, a Go button, a tag-removal check box and the result box.
// Controls and the stored page text are public so that tests can drive the window as a user would
// and look at what it holds; the handlers are public for the same reason.
class Form1 : public QWidget {
    Q_OBJECT

public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    QLineEdit* Text1;
    QPushButton* Command1;
    ResultBox* Text2;
    QCheckBox* CheckBox1;

    // The page text of the last successful fetch, before any tag removal.
    QString strHtml;

    // The window's handlers. Qt's events reach them; tests may call them directly.
    void Form_Load();
    void Form_Resize();
    void Form_Unload();
    void Text1_GotFocus();
    void Command1_Click();
    void CheckBox1_Click();

    // The client area in twips.
    float ScaleWidth() const;
    float ScaleHeight() const;

    // Whether a fetch is waiting for its download and conversion.
    bool IsFetching() const { return blnFetching; }

    // 15 twips make one logical pixel (1440 to the inch at 96 dots per inch).
    static constexpr int kTwipsPerPixel = 15;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::optional<QString> FetchText(const QString& strUrl);

    bool blnFetching = false;
};
