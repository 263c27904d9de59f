#pragma once

#include <QString>
#include <QWidget>

#include "download/module1.h"
#include "window/result_box.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

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
    // Why that page is incomplete, when it came only in part (one line); empty when it came whole.
    QString strIncomplete;

    // The download's time-outs and size cap. The window keeps the defaults; tests shorten them so
    // as not to wait a minute for a silent server or send 256 MiB.
    urlclient::Limits udtLimits;

    // The window's handlers. Qt's events reach them; tests may call them directly. None lets an
    // exception out: an error it has no answer for shows its report and ends the program.
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
    // Says in the empty result box, as its grey placeholder, why the last fetch brought nothing,
    // and tells screen readers the same; an empty `strReason` clears it.
    void ShowReason(const QString& strReason);

    bool blnFetching = false;
};
