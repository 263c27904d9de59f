#include <gtest/gtest.h>

#include "window/text/resize_bytes.h"

struct ResizeCase {
    const char* name;
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
                    ResizeCase{"ZeroInside", {0x41, 0x00, 0x42, 0x00}, {0x41}}),
    [](const auto& info) { return std::string(info.param.name); });
