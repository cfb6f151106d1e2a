// Driver lookup by product text, and the TI driver's frame handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/chip_driver.h"
#include "stream/nx_stream.h"

namespace {

chip_driver *find(const std::string &product) {
    nivex_device dev{};
    std::memcpy(dev.product, product.c_str(), std::min(product.size(), sizeof dev.product - 1));
    return nivex_drv_find(&dev);
}

TEST(DriverRegistry, ProductCodeSelectsTheRow) {
    chip_driver *ti = find("NVX-T0-1.0");
    ASSERT_NE(ti, nullptr);
    EXPECT_STREQ(ti->product_code, "T0");
    EXPECT_STREQ(ti->desc, "TI OP8241 chip driver");
    EXPECT_EQ(ti->ops, &g_nivex_driver_op_ti);

    chip_driver *e1 = find("AB-E1-2.0"), *e2 = find("AB-E2-2.0"), *e3 = find("AB-E3-x");
    ASSERT_NE(e1, nullptr);
    ASSERT_NE(e2, nullptr);
    ASSERT_NE(e3, nullptr);
    EXPECT_NE(e1, e2);
    EXPECT_EQ(e1->ops, e2->ops);
    EXPECT_EQ(e2->ops, &g_nivex_driver_op_epc);
    EXPECT_STREQ(e2->desc, "EPC chip driver");
    EXPECT_EQ(find("XY-E2-9"), e2);  // one row per code, shared by every camera
}

TEST(DriverRegistry, MalformedOrUnknownProductsFindNothing) {
    for (const char *product : {"AB-e2-2.0", "AB-E4-2.0", "AB-E2", "AB-E2-", "-E2-2.0",
                                "AB--E2-2.0", "", "E2", "AB-E2 -2.0", "AB-T0x-1"}) {
        EXPECT_EQ(find(product), nullptr) << product;
    }
    EXPECT_EQ(nivex_drv_find(nullptr), nullptr);
}

TEST(DriverRegistry, FieldsAreReadUpToSixteenCharacters) {
    EXPECT_NE(find("ABCDEFGHIJKLMNOP-E2-2.0"), nullptr);          // 16: fine
    EXPECT_EQ(find("ABCDEFGHIJKLMNOPQ-E2-2.0"), nullptr);         // 17 in the first field
    EXPECT_NE(find("AB-E2-ABCDEFGHIJKLMNOPQRSTUVWXY"), nullptr);  // third field is cut
    EXPECT_NE(find("AB-E2-2.0-extra"), nullptr);                  // text after the third field
}

TEST(DriverRegistry, UnterminatedProductTextIsReadSafely) {
    nivex_device dev{};
    std::memset(dev.product, 'A', sizeof dev.product);  // no terminating zero
    EXPECT_EQ(nivex_drv_find(&dev), nullptr);
}

TEST(TiDriver, FrameInfoDescribesA320x240FourBytePixelFrame) {
    nx_stream_frame_info info{};
    info.frlen = 307200;
    info.fridx = 77;
    info.frfmt = 1;
    info.width = 12;  // the TI driver always describes its own geometry
    nivex_frame_meta meta;
    std::memset(&meta, 0xAB, sizeof meta);
    ASSERT_TRUE(g_nivex_driver_op_ti.frame_get_info(nullptr, &meta, &info));
    EXPECT_EQ(meta.frame_size, 307200u);
    EXPECT_EQ(meta.frame_format, 1);
    EXPECT_EQ(meta.frame_idx, 77);
    EXPECT_EQ(meta.width, 320u);
    EXPECT_EQ(meta.height, 240u);
    EXPECT_EQ(meta.pixel_bytes, 4);
    EXPECT_EQ(meta.reserved0, 0);
    EXPECT_EQ(meta.reserved1, 0);
}

uint32_t ti_sample(uint16_t phase, uint16_t amplitude) {
    return static_cast<uint32_t>(phase) << 16 | amplitude;
}

std::vector<uint8_t> raw_of(const std::vector<uint32_t> &samples) {
    std::vector<uint8_t> raw(samples.size() * 4);
    std::memcpy(raw.data(), samples.data(), raw.size());
    return raw;
}

TEST(TiDriver, DecodeGivesMillimetresAndTwelveBitAmplitude) {
    // High bits above the 12-bit fields are ignored.
    std::vector<uint8_t> raw = raw_of(
        {ti_sample(0, 0), ti_sample(2048, 100), ti_sample(4095, 4095), ti_sample(0xF800, 0xF123)});
    nivex_frame_meta meta{};
    uint16_t dist[4], gray[4];
    const chip_driver_ops &ti = g_nivex_driver_op_ti;
    ASSERT_EQ(ti.frame_decode(nullptr, dist, sizeof dist, NX_DECODE_DISTANCE, raw.data(),
                              raw.size(), &meta),
              8);
    ASSERT_EQ(
        ti.frame_decode(nullptr, gray, sizeof gray, NX_DECODE_GRAY, raw.data(), raw.size(), &meta),
        8);
    // distance = phase / 4096 * 3.122838 m
    EXPECT_EQ(dist[0], 0);
    EXPECT_EQ(dist[1], 1561);  // 0.5 * 3122.838
    EXPECT_EQ(dist[2], 3122);  // 4095/4096 * 3122.838 = 3122.08
    EXPECT_EQ(dist[3], 1561);  // 0x800 of 0xF800
    EXPECT_EQ(gray[0], 0);
    EXPECT_EQ(gray[1], 100);
    EXPECT_EQ(gray[2], 4095);
    EXPECT_EQ(gray[3], 0x123);
}

TEST(TiDriver, DecodeStopsAtTheSmallerOfInputAndOutput) {
    std::vector<uint8_t> raw =
        raw_of({ti_sample(1, 1), ti_sample(2, 2), ti_sample(3, 3), ti_sample(4, 4)});
    nivex_frame_meta meta{};
    uint16_t out[4] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    const chip_driver_ops &ti = g_nivex_driver_op_ti;
    EXPECT_EQ(ti.frame_decode(nullptr, out, 4, NX_DECODE_GRAY, raw.data(), 16, &meta), 4);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(out[2], 0xEEEE);  // capacity of 4 bytes: two samples
    EXPECT_EQ(ti.frame_decode(nullptr, out, 8, NX_DECODE_GRAY, raw.data(), 7, &meta), 2);
    EXPECT_LT(ti.frame_decode(nullptr, out, 8, 3, raw.data(), 16, &meta), 0);
}

TEST(TiDriver, SpareSlotsAndCalibrationLoad) {
    const chip_driver_ops &ti = g_nivex_driver_op_ti;
    EXPECT_EQ(ti.calib_load(nullptr, 0, 0, 2), 0);
    EXPECT_EQ(ti.spare1(nullptr), 0);
    EXPECT_EQ(ti.spare2(nullptr, nullptr, 42, 2), 42);
    EXPECT_EQ(ti.spare3(nullptr), 1);
    EXPECT_EQ(ti.lens_param_get, nullptr);
    EXPECT_EQ(ti.filter_enable, nullptr);
    EXPECT_EQ(ti.filter_disable, nullptr);
}

}  // namespace
