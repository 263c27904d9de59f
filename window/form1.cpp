#include "window/form1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScopedValueRollback>
#include <QScreen>
#include <QStyle>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "window/clean_url.h"
#include "window/describe_reason.h"
#include "window/fetch_text.h"
#include "window/progress_text.h"
#include "window/report_and_end.h"
#include "window/text/remove_tags.h"

namespace {

// A place on the window in twips, measured from the top left of the client area.
struct TwipRect {
    int lngLeft;
    int lngTop;
    int lngWidth;
    int lngHeight;
};

constexpr int kClientWidth = 7950;
constexpr int kClientHeight = 4035;
constexpr TwipRect kText1{0, 60, 7995, 315};
constexpr TwipRect kCommand1{0, 420, 975, 315};
constexpr TwipRect kText2{0, 780, 7935, 3255};
constexpr TwipRect kCheckBox1{1080, 480, 1275, 255};

// The one conversion from twips to logical pixels; Qt scales logical pixels for dense screens.
int TwipsToPixels(float sngTwips) {
    return static_cast<int>(std::lround(sngTwips / Form1::kTwipsPerPixel));
}

float PixelsToTwips(int lngPixels) {
    return static_cast<float>(lngPixels) * Form1::kTwipsPerPixel;
}

QRect TwipsToPixels(const TwipRect& rct) {
    return QRect(TwipsToPixels(rct.lngLeft), TwipsToPixels(rct.lngTop), TwipsToPixels(rct.lngWidth),
                 TwipsToPixels(rct.lngHeight));
}

// "ＭＳ Ｐゴシック" where it is installed, else the IPA proportional Gothic that the bootstrap
// installs, else any other face with Japanese glyphs (a proportional one if there is one).
QFont FormFont() {
    QStringList lstFamilies{QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")};
    const QStringList lstJapanese = QFontDatabase::families(QFontDatabase::Japanese);
    QString strAny;
    for (const QString& strFamily : lstJapanese) {
        if (lstFamilies.contains(strFamily)) continue;
        if (!QFontDatabase::isFixedPitch(strFamily)) {
            strAny = strFamily;
            break;
        }
        if (strAny.isEmpty()) strAny = strFamily;
    }
    if (!strAny.isEmpty()) lstFamilies.append(strAny);

    QFont fnt;
    fnt.setFamilies(lstFamilies);
    fnt.setPointSizeF(9.75);
    fnt.setWeight(QFont::Normal);
    return fnt;
}

}  // namespace

Form1::Form1(QWidget* parent)
    : QWidget(parent),
      Text1(new QLineEdit(this)),
      Command1(new QPushButton(this)),
      Text2(new ResultBox(this)),
      CheckBox1(new QCheckBox(this)) {
    Text1->setObjectName(QStringLiteral("Text1"));
    Command1->setObjectName(QStringLiteral("Command1"));
    Text2->setObjectName(QStringLiteral("Text2"));
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));

    Text1->setGeometry(TwipsToPixels(kText1));
    Command1->setGeometry(TwipsToPixels(kCommand1));
    Text2->setGeometry(TwipsToPixels(kText2));
    CheckBox1->setGeometry(TwipsToPixels(kCheckBox1));

    const QFont fnt = FormFont();
    setFont(fnt);
    for (QWidget* ctl : {static_cast<QWidget*>(Text1), static_cast<QWidget*>(Command1),
                         static_cast<QWidget*>(Text2), static_cast<QWidget*>(CheckBox1)}) {
        ctl->setFont(fnt);
    }

    // Enter on a focused Go presses it, as Space does, and as in the Windows programs this one
    // follows. Enter in the URL box does not: only a dialog has a button that Enter presses from
    // anywhere, and this window is none.
    Command1->setAutoDefault(true);
    Command1->setDefault(false);
    CheckBox1->setChecked(true);

    // Names for screen readers: the captions where there are some, words for the two boxes.
    Text1->setAccessibleName(QStringLiteral("URL"));
    Command1->setAccessibleName(QStringLiteral("Go"));
    Text2->setAccessibleName(QStringLiteral("受信したテキスト"));
    CheckBox1->setAccessibleName(QStringLiteral("タグ除去"));

    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Text2);
    setTabOrder(Text2, CheckBox1);

    Text1->installEventFilter(this);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(CheckBox1, &QCheckBox::clicked, this, &Form1::CheckBox1_Click);

    Form_Load();

    // Centred on the screen, at the client size the controls were laid out for.
    const QSize sizClient(TwipsToPixels(kClientWidth), TwipsToPixels(kClientHeight));
    const QScreen* scr = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    const QRect rctScreen = scr != nullptr ? scr->availableGeometry() : QRect(QPoint(), sizClient);
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, sizClient, rctScreen));

    // Tab index 0 takes the focus when the window is first activated.
    Text1->setFocus(Qt::OtherFocusReason);
}

Form1::~Form1() = default;

void Form1::Form_Load() {
    Command1->setText(QStringLiteral("Go"));
    CheckBox1->setText(QStringLiteral("タグ除去"));
    setWindowTitle(QStringLiteral("HTMLデータ受信　タグ除去機能付き"));
    Text1->setText(QStringLiteral("http://www.yahoo.co.jp/"));
}

float Form1::ScaleWidth() const {
    return PixelsToTwips(width());
}

float Form1::ScaleHeight() const {
    return PixelsToTwips(height());
}

void Form1::Form_Resize() {
    // Each size is tried on its own: one that would be negative (a minimised window, or one
    // shorter than the result box's top) is skipped, and the others still follow the window.
    const float sngText1Width = ScaleWidth() - PixelsToTwips(Text1->x());
    if (sngText1Width >= 0.0f) Text1->resize(TwipsToPixels(sngText1Width), Text1->height());

    const float sngText2Width = ScaleWidth() - PixelsToTwips(Text2->x());
    if (sngText2Width >= 0.0f) Text2->resize(TwipsToPixels(sngText2Width), Text2->height());

    const float sngText2Height = ScaleHeight() - PixelsToTwips(Text2->y());
    if (sngText2Height >= 0.0f) Text2->resize(Text2->width(), TwipsToPixels(sngText2Height));
}

void Form1::Form_Unload() {
    // Closing ends the program at once. A download still running on its worker thread cannot be
    // called back, so then the process ends without waiting for it or tidying up.
    if (blnFetching) {
        std::fflush(nullptr);
        std::_Exit(EXIT_SUCCESS);
    }
    QCoreApplication::exit(EXIT_SUCCESS);
}

void Form1::Text1_GotFocus() {
    Text1->setSelection(0, static_cast<int>(Text1->text().size()));
}

// An error a handler has no answer for ends the program from inside the handler (the
// function-try-blocks below): it must not travel on into Qt's event dispatch.

void Form1::Command1_Click() try {
    // A disabled Go would hand its focus on to the result box, where the next key typed would
    // edit the page: the focus waits on the window meanwhile and then goes back where it was.
    QWidget* const ctlFocused = focusWidget();
    if (ctlFocused == Command1) setFocus(Qt::OtherFocusReason);
    Command1->setEnabled(false);
    strHtml.clear();
    strIncomplete.clear();
    Text2->SetText(QString());
    ShowReason(QString());

    // The URL box shows what is fetched; one that cannot be used is left as typed, and named so.
    const QString strTyped = Text1->text();
    const QString strUrl = CleanUrl(strTyped);
    if (strUrl != strTyped) Text1->setText(strUrl);

    FetchResult result;
    bool blnShownProgress = false;
    {
        QScopedValueRollback<bool> fetching(blnFetching, true);
        result = FetchText(strUrl, udtLimits,
                           [this, &blnShownProgress](const FetchProgress& udtProgress) {
                               // The grey words of the empty box follow the fetch; screen readers
                               // hear once that it is under way, and where to, not every count.
                               Text2->SetPlaceholder(DescribeProgress(udtProgress));
                               if (!blnShownProgress) {
                                   Text2->setAccessibleDescription(
                                       QStringLiteral("受信中: 「%1」").arg(udtProgress.strHost));
                                   blnShownProgress = true;
                               }
                           });
    }
    if (result.blnUnexpectedError) ReportAndEnd(result.strError);
    ShowReason(QString());
    if (blnShownProgress && !result.strText.isEmpty()) {
        // Tag removal and layout take a moment on a large page: say so while they run.
        Text2->SetPlaceholder(QStringLiteral("ページを表示しています…"));
        Text2->repaint();
    }
    using DownloadKind = Module1::DownloadFailure::Kind;
    using ClientKind = urlclient::Failure::Kind;
    const Module1::DownloadFailure& udtDownload = result.udtFailure.udtDownload;
    const bool blnUnusable = udtDownload.kind == DownloadKind::kNoUrl ||
                             (udtDownload.kind == DownloadKind::kClient &&
                              (udtDownload.client.kind == ClientKind::kBadUrl ||
                               udtDownload.client.kind == ClientKind::kUnsupportedScheme));
    if (blnUnusable && strUrl != strTyped) Text1->setText(strTyped);
    const QString strWhy = DescribeFailure(result.udtFailure, strTyped.trimmed());
    if (!result.strText.isEmpty() || result.udtFailure.IsNone()) {
        strHtml = std::move(result.strText);
        // A page that came in part is shown, with a word on what is missing under its count.
        strIncomplete = strWhy;
        CheckBox1_Click();
        // Whatever the box showed while the page was converted goes, even when no text shows.
        ShowReason(strIncomplete);
    } else {
        // Nothing came: the tooltip gives the count of what is shown, none, and the empty box
        // says why.
        Text2->setToolTip(QStringLiteral("0文字"));
        ShowReason(strWhy);
    }

    Command1->setEnabled(true);
    if (ctlFocused != nullptr && focusWidget() != ctlFocused)
        ctlFocused->setFocus(Qt::OtherFocusReason);
} catch (...) {
    ReportAndEnd(DescribeError(std::current_exception()));
}

void Form1::CheckBox1_Click() try {
    if (CheckBox1->checkState() == Qt::Unchecked) {
        Text2->SetText(strHtml);
    } else {
        // The page with its tags leaves the box first, so that it and the tag removal's work are
        // never held at once.
        Text2->SetText(QString());
        Text2->SetText(RemoveTags(strHtml));
    }
    const qsizetype lngCount = Text2->Text().size();
    QString strTip = QString::number(lngCount) + QStringLiteral("文字");
    if (!strIncomplete.isEmpty()) strTip += QStringLiteral("\n") + strIncomplete;
    Text2->setToolTip(strTip);
    // Text shown is no longer the failed fetch's empty box; flipping the box over no page at all
    // leaves the reason in place. Screen readers hear what the tooltip's second line says.
    if (lngCount > 0 || !strIncomplete.isEmpty()) ShowReason(strIncomplete);
} catch (...) {
    ReportAndEnd(DescribeError(std::current_exception()));
}

void Form1::ShowReason(const QString& strReason) {
    Text2->SetPlaceholder(strReason);
    Text2->setAccessibleDescription(strReason);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Text1 && event->type() == QEvent::FocusIn) Text1_GotFocus();
    return QWidget::eventFilter(watched, event);
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    Form_Unload();
}
