// The sensor's readout row order and back.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "sensorlib/dcs_row_order.h"

namespace {

// Readout rows 0..3 of a 4-row image are image rows 1, 2, 0, 3.
TEST(RowOrder, FourRowsMoveAsTheReadoutDelivers) {
    const std::vector<uint16_t> readout = {10, 11, 20, 21, 30, 31, 40, 41};  // 2 columns
    std::vector<uint16_t> image(8, 0);
    calc_dcs_sort(image.data(), readout.data(), 2, 4);
    EXPECT_EQ(image, (std::vector<uint16_t>{30, 31, 10, 11, 20, 21, 40, 41}));
    std::vector<uint16_t> back(8, 0);
    calc_dcs_unsort(back.data(), image.data(), 2, 4);
    EXPECT_EQ(back, readout);
}

TEST(RowOrder, UnsortUndoesSortOnAFullFrame) {
    std::vector<uint16_t> frame(320 * 240);
    std::iota(frame.begin(), frame.end(), uint16_t{0});
    std::vector<uint16_t> sorted(frame.size()), back(frame.size());
    ASSERT_TRUE(nx::dcs_sort(sorted.data(), frame.data(), 320, 240));
    ASSERT_TRUE(nx::dcs_unsort(back.data(), sorted.data(), 320, 240));
    EXPECT_EQ(back, frame);
    EXPECT_NE(sorted, frame);
}

TEST(RowOrder, RefusedArgumentsWriteNothing) {
    std::vector<uint16_t> src(12, 7), dst(12, 0);
    EXPECT_FALSE(nx::dcs_sort(dst.data(), src.data(), 4, 3));  // odd height
    EXPECT_FALSE(nx::dcs_sort(dst.data(), src.data(), 0, 2));
    EXPECT_FALSE(nx::dcs_unsort(dst.data(), nullptr, 4, 2));
    EXPECT_FALSE(nx::dcs_unsort(src.data(), src.data(), 4, 2));  // in place
    calc_dcs_sort(nullptr, src.data(), 4, 2);
    EXPECT_EQ(dst, std::vector<uint16_t>(12, 0));
}

}  // namespace
