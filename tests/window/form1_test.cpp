// The window as a user meets it, with no network: start-up, layout, keyboard, the result display.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <memory>

#include "tests/support/print_qstring.h"
#include "window/form1.h"
#include "window/text/remove_tags.h"

namespace {

class Form1Test : public testing::Test {
protected:
    void SetUp() override {
        form = std::make_unique<Form1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    QWidget* Focused() const { return QApplication::focusWidget(); }

    std::unique_ptr<Form1> form;
};

TEST_F(Form1Test, StartsWithCaptionsDefaultUrlSelectedAndEmptyResult) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("HTMLデータ受信　タグ除去機能付き"));
    EXPECT_EQ(form->Command1->text(), QStringLiteral("Go"));
    EXPECT_EQ(form->CheckBox1->text(), QStringLiteral("タグ除去"));
    EXPECT_EQ(form->CheckBox1->checkState(), Qt::Checked);

    EXPECT_EQ(form->Text1->text(), QStringLiteral("http://www.yahoo.co.jp/"));
    EXPECT_EQ(Focused(), form->Text1);
    EXPECT_EQ(form->Text1->selectedText(), form->Text1->text());
    EXPECT_EQ(form->Text1->selectionStart(), 0);

    EXPECT_TRUE(form->strHtml.isEmpty());
    EXPECT_TRUE(form->Text2->Text().isEmpty());
    EXPECT_FALSE(form->Text2->isReadOnly());
    // The tooltip appears with the first refresh of the result box, not before.
    EXPECT_TRUE(form->Text2->toolTip().isEmpty());
    EXPECT_TRUE(form->Command1->isEnabled());
    EXPECT_FALSE(form->Command1->isDefault());
}

TEST_F(Form1Test, ClientAreaIs530By269AndCentred) {
    EXPECT_EQ(form->size(), QSize(530, 269));
    const QRect rctScreen = form->screen()->availableGeometry();
    EXPECT_LE(std::abs(form->geometry().center().x() - rctScreen.center().x()), 1);
    EXPECT_LE(std::abs(form->geometry().center().y() - rctScreen.center().y()), 1);
}

TEST_F(Form1Test, AllControlsUseAProportionalJapaneseFaceAt9Point75) {
    const QStringList lstInstalled = QFontDatabase::families();
    const QString strExpected = lstInstalled.contains(QStringLiteral("ＭＳ Ｐゴシック"))
                                    ? QStringLiteral("ＭＳ Ｐゴシック")
                                    : QStringLiteral("IPAPGothic");
    ASSERT_TRUE(lstInstalled.contains(strExpected)) << "fonts-ipafont-gothic is not installed";
    for (QWidget* ctl :
         {static_cast<QWidget*>(form->Text1), static_cast<QWidget*>(form->Command1),
          static_cast<QWidget*>(form->Text2), static_cast<QWidget*>(form->CheckBox1)}) {
        EXPECT_EQ(QFontInfo(ctl->font()).family(), strExpected) << ctl->objectName().toStdString();
        EXPECT_DOUBLE_EQ(ctl->font().pointSizeF(), 9.75);
        EXPECT_EQ(ctl->font().weight(), QFont::Normal);
        EXPECT_TRUE(QFontMetrics(ctl->font()).inFontUcs4(U'除'));
    }
}

TEST_F(Form1Test, TabCyclesUrlGoResultCheckBox) {
    QWidget* const expected[] = {form->Command1, form->Text2, form->CheckBox1, form->Text1,
                                 form->Command1};
    for (QWidget* ctl : expected) {
        QTest::keyClick(Focused(), Qt::Key_Tab);
        EXPECT_EQ(Focused(), ctl) << "expected " << ctl->objectName().toStdString();
    }
    QTest::keyClick(Focused(), Qt::Key_Backtab);
    EXPECT_EQ(Focused(), form->Text1);
    EXPECT_EQ(form->Text1->selectedText(), form->Text1->text());
}

TEST_F(Form1Test, UrlIsSelectedWholeWheneverItGetsTheFocus) {
    form->Text1->setText(QStringLiteral("http://127.0.0.1/ページ"));
    form->Text1->setCursorPosition(3);
    form->Text2->setFocus(Qt::MouseFocusReason);
    ASSERT_EQ(Focused(), form->Text2);
    form->Text1->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(form->Text1->selectedText(), QStringLiteral("http://127.0.0.1/ページ"));
}

TEST_F(Form1Test, EnterInUrlBoxDoesNotPressGo) {
    // Something is shown first: a fetch, even one that fails, would empty the box and say "0文字".
    // The URL fails on this machine, should a fetch start all the same.
    form->CheckBox1->setChecked(false);
    form->strHtml = QStringLiteral("元の文");
    form->CheckBox1_Click();
    form->Text1->setText(QStringLiteral("http://a..invalid/"));
    ASSERT_EQ(Focused(), form->Text1);
    QSignalSpy spyClicked(form->Command1, &QPushButton::clicked);
    // Through the window, as keys from the keyboard come: shortcuts, the URL box, then the window.
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(form->windowHandle(), key);
    }
    EXPECT_EQ(spyClicked.count(), 0);
    EXPECT_EQ(form->strHtml, QStringLiteral("元の文"));
    EXPECT_EQ(form->Text2->Text(), QStringLiteral("元の文"));
    EXPECT_EQ(form->Text2->toolTip(), QStringLiteral("3文字"));
    EXPECT_EQ(Focused(), form->Text1);
}

struct SizeCase {
    QSize sizClient;
    int lngText1Width;
    QSize sizText2;
};

TEST_F(Form1Test, BoxesFollowTheWindowAndSkipOnlyImpossibleSizes) {
    // Heights below the result box's top (52 px, 780 twips) leave that one height as it was, while
    // both widths still follow.
    const SizeCase cases[] = {
        {QSize(800, 600), 800, QSize(800, 548)}, {QSize(300, 52), 300, QSize(300, 0)},
        {QSize(200, 51), 200, QSize(200, 0)},    {QSize(640, 30), 640, QSize(640, 0)},
        {QSize(640, 400), 640, QSize(640, 348)}, {QSize(120, 10), 120, QSize(120, 348)},
        {QSize(1, 1), 1, QSize(1, 348)},         {QSize(530, 269), 530, QSize(530, 217)},
    };
    for (const SizeCase& cas : cases) {
        form->resize(cas.sizClient);
        QApplication::processEvents();
        ASSERT_EQ(form->size(), cas.sizClient);
        EXPECT_EQ(form->Text1->width(), cas.lngText1Width) << cas.sizClient.width();
        EXPECT_EQ(form->Text2->size(), cas.sizText2) << cas.sizClient.height();
        // The button and the check box never move or change size.
        EXPECT_EQ(form->Command1->geometry(), QRect(0, 28, 65, 21));
        EXPECT_EQ(form->CheckBox1->geometry(), QRect(72, 32, 85, 17));
        EXPECT_EQ(form->Text2->pos(), QPoint(0, 52));
    }
}

TEST_F(Form1Test, CheckBoxFlipsBetweenStoredTextAndTextWithoutTags) {
    const QString strPage = QStringLiteral(
        "<html><head><title>題</title>\r\n<script>var a = 1;</script></head>\r\n"
        "<body><p>日本語の<b>本文</b>です。<br>次の行&amp;記号</p></body></html>\r\n");
    const QString strStripped = QStringLiteral("題日本語の本文です。\r\n次の行&記号");
    form->strHtml = strPage;

    for (int lngRound = 0; lngRound < 3; ++lngRound) {
        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        ASSERT_EQ(form->CheckBox1->checkState(), Qt::Unchecked);
        EXPECT_EQ(form->Text2->Text(), strPage);
        EXPECT_EQ(form->Text2->toolTip(), QString::number(strPage.size()) + QStringLiteral("文字"));

        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        ASSERT_EQ(form->CheckBox1->checkState(), Qt::Checked);
        EXPECT_EQ(form->Text2->Text(), strStripped);
        EXPECT_EQ(form->Text2->toolTip(), QStringLiteral("18文字"));
    }
    // Flipping only changes the view; the stored page stays as it came.
    EXPECT_EQ(form->strHtml, strPage);
}

TEST_F(Form1Test, RefreshWithNothingStoredShowsZero) {
    form->Text2->SetText(QStringLiteral("前の内容"));
    form->CheckBox1_Click();
    EXPECT_TRUE(form->Text2->Text().isEmpty());
    EXPECT_EQ(form->Text2->toolTip(), QStringLiteral("0文字"));
}

TEST_F(Form1Test, TooltipCountsCrLfAsTwoCharacters) {
    form->CheckBox1->setChecked(false);
    struct {
        QString strText;
        const char* strTip;
    } const cases[] = {
        {QStringLiteral("あ\r\nい"), "4文字"}, {QStringLiteral("\r\n\r\n"), "4文字"},
        {QStringLiteral("行\r\n"), "3文字"},   {QString(QChar(0x00A0)), "1文字"},
        {QStringLiteral("𠮷"), "2文字"},  // outside the basic plane: two UTF-16 units
    };
    for (const auto& cas : cases) {
        form->strHtml = cas.strText;
        form->CheckBox1_Click();
        EXPECT_EQ(form->Text2->toolTip(), QString::fromUtf8(cas.strTip));
    }
}

TEST_F(Form1Test, RefreshDropsTheUsersEdits) {
    form->CheckBox1->setChecked(false);
    form->strHtml = QStringLiteral("元の文");
    form->CheckBox1_Click();
    form->Text2->setFocus();
    form->Text2->moveCursor(QTextCursor::End);
    QTest::keyClicks(form->Text2, QStringLiteral("xyz"));
    ASSERT_EQ(form->Text2->Text(), QStringLiteral("元の文xyz"));
    form->CheckBox1_Click();
    EXPECT_EQ(form->Text2->Text(), QStringLiteral("元の文"));
    EXPECT_EQ(form->Text2->toolTip(), QStringLiteral("3文字"));
}

TEST_F(Form1Test, ResultBoxWrapsWithAVerticalScrollBarOnly) {
    EXPECT_EQ(form->Text2->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(form->Text2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(form->Text2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // A long line of Japanese, which has no spaces, still wraps inside the box.
    form->Text2->SetText(QString(2000, QChar(0x3042)));
    QApplication::processEvents();
    const QTextBlock blk = form->Text2->document()->firstBlock();
    ASSERT_NE(blk.layout(), nullptr);
    EXPECT_GT(blk.layout()->lineCount(), 10);
}

struct AccessibleCase {
    const char* strControl;
    QAccessible::Role role;
    QString strName;
};

TEST_F(Form1Test, ScreenReadersHearANameForEachControl) {
    const AccessibleCase cases[] = {
        {"Text1", QAccessible::EditableText, QStringLiteral("URL")},
        {"Command1", QAccessible::Button, QStringLiteral("Go")},
        {"Text2", QAccessible::EditableText, QStringLiteral("受信したテキスト")},
        {"CheckBox1", QAccessible::CheckBox, QStringLiteral("タグ除去")},
    };
    for (const AccessibleCase& cas : cases) {
        QWidget* ctl = form->findChild<QWidget*>(QString::fromLatin1(cas.strControl));
        ASSERT_NE(ctl, nullptr);
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(ctl);
        ASSERT_NE(acc, nullptr) << cas.strControl;
        EXPECT_EQ(acc->role(), cas.role) << cas.strControl;
        EXPECT_EQ(acc->text(QAccessible::Name), cas.strName) << cas.strControl;
    }
    QAccessibleInterface* accWindow = QAccessible::queryAccessibleInterface(form.get());
    ASSERT_NE(accWindow, nullptr);
    EXPECT_EQ(accWindow->text(QAccessible::Name), form->windowTitle());
    // The check box reports its state too.
    QAccessibleInterface* accCheck = QAccessible::queryAccessibleInterface(form->CheckBox1);
    EXPECT_TRUE(accCheck->state().checked);
}

// Closing the window ends the program straight away with a success status.
TEST(Form1Unload, ClosingEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Form1 frm;
            frm.show();
            QTimer::singleShot(0, &frm, &QWidget::close);
            // Ends here as main() would, without the exit-time tidying of a process whose
            // QApplication still exists.
            std::_Exit(QApplication::exec() == 0 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
