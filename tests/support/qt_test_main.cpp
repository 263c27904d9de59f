#include <gtest/gtest.h>
#include <QApplication>

// Window tests need one QApplication for the whole test executable.
int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
