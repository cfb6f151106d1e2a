// Colour map: the ramp's telling rows, range handling, marker colours, gray.
#include <gtest/gtest.h>

#include "imgproc/nx_cmap.h"

namespace {

class CmapTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(nx_cmap_init(&cmap_, 30000)); }
    void TearDown() override { nx_cmap_uninit(&cmap_); }
    nx_cmap cmap_{};
};

TEST_F(CmapTest, TellingRowsOfTheRamp) {
    const std::pair<int, uint32_t> rows[] = {
        {0, 0x7F0000},     {3750, 0xFF0000},  {7500, 0xFF7F00},
        {11250, 0xFFFF00}, {15000, 0x7FFF7F}, {18750, 0x00FFFF},
        {22500, 0x00AAFF}, {26250, 0x0055FF}, {29999, 0x0000BF}};
    for (auto [index, colour] : rows)
        EXPECT_EQ(cmap_.table[index], colour) << index;
}

TEST_F(CmapTest, DefaultRangeMapsNearToRedAndFarToBlue) {
    EXPECT_EQ(cmap_.range_min, 0);
    EXPECT_EQ(cmap_.range_max, 4000);
    EXPECT_FLOAT_EQ(cmap_.gray_scale, 0.06375f);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, 4000), cmap_.table[0]);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, 1), cmap_.table[29993]);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, 0), 0u);     // lower end is exclusive
    EXPECT_EQ(nx_cmap_get_color(&cmap_, 4001), 0u);  // beyond the range
    EXPECT_EQ(nx_cmap_get_color(&cmap_, -5), 0u);
}

TEST_F(CmapTest, MarkersHaveFixedColoursWhateverTheRange) {
    EXPECT_EQ(nx_cmap_get_color(&cmap_, NX_PIXEL_LOW_AMP), 0u);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, NX_PIXEL_SATURATED), 0x8000FFu);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, NX_PIXEL_OVERFLOW), 0xFF0EA9u);
    nx_cmap_set_range(&cmap_, 0, 70000);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, NX_PIXEL_LOW_AMP), 0u);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, NX_PIXEL_SATURATED), 0x8000FFu);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, NX_PIXEL_OVERFLOW), 0xFF0EA9u);
}

TEST_F(CmapTest, RangeIsOrderedAndAnEmptyRangeOnlyChangesTheScales) {
    nx_cmap_set_range(&cmap_, 3000, 500);
    EXPECT_EQ(cmap_.range_min, 500);
    EXPECT_EQ(cmap_.range_max, 3000);
    EXPECT_FLOAT_EQ(cmap_.index_scale, 30000.0f / 2500.0f);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, 3000), cmap_.table[0]);
    nx_cmap_set_range(&cmap_, 700, 700);
    EXPECT_EQ(cmap_.range_min, 500);
    EXPECT_EQ(cmap_.range_max, 3000);
    EXPECT_FLOAT_EQ(cmap_.index_scale, 30000.0f);
    EXPECT_FLOAT_EQ(cmap_.gray_scale, 255.0f);
    EXPECT_EQ(nx_cmap_get_color(&cmap_, 2999), cmap_.table[0]);  // index clamps at 0
}

TEST_F(CmapTest, ExtremeRangesDoNotOverflow) {
    nx_cmap_set_range(&cmap_, INT32_MIN, INT32_MAX);
    EXPECT_EQ(cmap_.range_min, INT32_MIN);
    EXPECT_NE(nx_cmap_get_color(&cmap_, 0), 0u);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, INT32_MAX) & 0xFF,
              nx_cmap_get_gray(&cmap_, INT32_MAX) >> 16);
}

TEST_F(CmapTest, GrayScale) {
    nx_cmap_set_range(&cmap_, 1000, 2000);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, 1000), 0x000000u);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, 2000), 0xFEFEFEu);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, 1500), 0x7F7F7Fu);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, 2001), 0xFFFFFFu);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, 999), 0u);
    EXPECT_EQ(nx_cmap_get_gray(&cmap_, NX_PIXEL_LOW_AMP), 0xFFFFFFu);  // not special in gray
}

TEST(Cmap, RefusedSizesAndMissingTables) {
    nx_cmap cmap{};
    EXPECT_FALSE(nx_cmap_init(&cmap, 0));
    EXPECT_EQ(cmap.table, nullptr);
    EXPECT_EQ(nx_cmap_get_color(&cmap, 100), 0u);  // no table: black, no crash
    nx_cmap_uninit(&cmap);
    nx_cmap_uninit(nullptr);
    EXPECT_FALSE(nx_cmap_init(nullptr, 10));
}

}  // namespace
