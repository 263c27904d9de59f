#include <gtest/gtest.h>

#include "download/module1.h"

TEST(DownloadBytes, EmptyUrlLeavesArrayUntouched) {
    std::vector<std::uint8_t> body{1, 2, 3};
    EXPECT_EQ(Module1::DownloadBytes(QString(), body, QString()), 0);
    EXPECT_EQ(body, (std::vector<std::uint8_t>{1, 2, 3}));
}
