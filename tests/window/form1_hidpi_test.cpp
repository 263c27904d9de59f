// The window on a screen of twice the usual density: its layout stays in logical pixels.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QWindow>
#include <memory>

#include "window/form1.h"

namespace {

class HighDensityScreen : public testing::Test {
protected:
    // Qt reads the scale factor once, when the application object is made, so this executable
    // makes its own.
    static void SetUpTestSuite() {
        qputenv("QT_SCALE_FACTOR", "2");
        app = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app.reset(); }

    static inline int argc = 1;
    static inline char name[] = "form1_hidpi_tests";
    static inline char* argv[] = {name, nullptr};
    static inline std::unique_ptr<QApplication> app;
};

TEST_F(HighDensityScreen, LayoutStaysInLogicalPixels) {
    Form1 form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_DOUBLE_EQ(form.devicePixelRatioF(), 2.0);

    EXPECT_EQ(form.size(), QSize(530, 269));
    EXPECT_FLOAT_EQ(form.ScaleWidth(), 7950.0f);
    EXPECT_EQ(form.Text1->geometry(), QRect(0, 4, 530, 21));
    EXPECT_EQ(form.Command1->geometry(), QRect(0, 28, 65, 21));
    EXPECT_EQ(form.CheckBox1->geometry(), QRect(72, 32, 85, 17));
    EXPECT_EQ(form.Text2->geometry(), QRect(0, 52, 530, 217));

    // The screen gets twice the pixels each way.
    const QPixmap pixShot = form.grab();
    EXPECT_EQ(pixShot.size(), QSize(1060, 538));

    form.resize(700, 300);
    QApplication::processEvents();
    EXPECT_EQ(form.Text1->width(), 700);
    EXPECT_EQ(form.Text2->size(), QSize(700, 248));
}

}  // namespace
