#include <gtest/gtest.h>

#include <ostream>

#include "window/text/resize_bytes.h"

#include <algorithm>

struct ResizeCase {
    const char* name;
    friend void PrintTo(const ResizeCase& c, std::ostream* os) { *os << c.name; }
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
};

class ResizeBytesTest : public testing::TestWithParam<ResizeCase> {};

TEST_P(ResizeBytesTest, TrimsAtFirstZero) {
    auto bytArray = GetParam().in;
    EXPECT_EQ(ResizeBytes(bytArray), static_cast<std::int32_t>(GetParam().out.size()));
    EXPECT_EQ(bytArray, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ResizeBytesTest,
    testing::Values(ResizeCase{"TwoZerosAtEnd", {0x41, 0x42, 0x00, 0x00}, {0x41, 0x42}},
                    ResizeCase{"NoZero", {0x41, 0x42}, {0x41, 0x42}},
                    ResizeCase{"ZeroFirst", {0x00, 0x41}, {}}, ResizeCase{"Empty", {}, {}},
                    ResizeCase{"ZeroInside", {0x41, 0x00, 0x42, 0x00}, {0x41}},
                    ResizeCase{"OneZeroAtEnd", {0x41, 0x42, 0x00}, {0x41, 0x42}},
                    ResizeCase{"OnlyZero", {0x00}, {}}, ResizeCase{"OneByte", {0x41}, {0x41}},
                    ResizeCase{"HighBytesAreNotZero", {0xFF, 0x80, 0x00, 0x80}, {0xFF, 0x80}}),
    [](const auto& info) { return std::string(info.param.name); });

// The converter's terminator sits far into a buffer that is mostly zeros.
TEST(ResizeBytes, LargeBufferTrimmedAtTerminator) {
    std::vector<std::uint8_t> bytArray(4 * 1024 * 1024 + 1, 0);
    std::fill(bytArray.begin(), bytArray.begin() + 1024 * 1024 + 7, std::uint8_t{0x82});
    EXPECT_EQ(ResizeBytes(bytArray), 1024 * 1024 + 7);
    EXPECT_EQ(bytArray.size(), 1024u * 1024u + 7u);
    EXPECT_EQ(bytArray.back(), 0x82);
}
