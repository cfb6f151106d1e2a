// Distance and gray images: the destination size rule, the in-place
// expansion, marker codes, TI frames end to end, and every refusal.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "conversion/conversion_fixture.h"

namespace nxtest {
namespace {

constexpr float kSentinel = -7.25f;

class DecodeTest : public ConversionTest {};

TEST_F(DecodeTest, DestinationMustHoldTheImage) {
    TestDriver driver;
    driver.codes.assign(6, 1500);
    DriverOverride use(dev_, driver);
    const nivex_frame_meta info = meta(3, 2, 4);
    const uint8_t raw[4] = {};

    std::vector<float> dst(6, kSentinel);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst.data(), 6, raw, 4, &info), 6);
    for (float v : dst)
        EXPECT_EQ(v, 1.5f);

    std::fill(dst.begin(), dst.end(), kSentinel);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst.data(), 5, raw, 4, &info), 0);
    EXPECT_TRUE(logged("[nivex_frame_get_distance] wrong dst_len: 5 (wxh=3x2)"));
    EXPECT_EQ(nivex_frame_get_gray(&dev_, dst.data(), -1, raw, 4, &info), 0);
    EXPECT_TRUE(logged("[nivex_frame_get_gray] wrong dst_len: -1 (wxh=3x2)"));
    EXPECT_EQ(driver.decode_calls, 1);
    for (float v : dst)
        EXPECT_EQ(v, kSentinel);  // nothing written
}

// The 16-bit image lands in the upper half of the float buffer and is
// expanded front to back; every sample must come out, whatever the parity of
// dst_len and however tight the buffer.
TEST_F(DecodeTest, InPlaceExpansionKeepsEverySample) {
    std::mt19937 rng(17);
    TestDriver driver;
    DriverOverride use(dev_, driver);
    const uint8_t raw[1] = {};
    for (auto [w, h, extra] : {std::tuple{320u, 240u, 0},
                               {319u, 241u, 0},
                               {7u, 3u, 1},
                               {1u, 1u, 0},
                               {5000u, 3u, 3},
                               {2u, 2u, 9}}) {
        const int pixels = static_cast<int>(w * h);
        driver.codes.resize(static_cast<size_t>(pixels));
        for (uint16_t &c : driver.codes)
            c = static_cast<uint16_t>(rng());
        const nivex_frame_meta info = meta(w, h, 1);
        std::vector<float> dst(static_cast<size_t>(pixels + extra), kSentinel);
        ASSERT_EQ(nivex_frame_get_distance(&dev_, dst.data(), pixels + extra, raw, 1, &info),
                  pixels);
        EXPECT_EQ(driver.last_dst_bytes, 2u * static_cast<uint32_t>(pixels + extra));
        EXPECT_EQ(reinterpret_cast<const void *>(driver.last_dst),
                  static_cast<const void *>(dst.data() + (pixels + extra) / 2));
        int wrong = 0;
        for (int i = 0; i < pixels; ++i)
            wrong += dst[static_cast<size_t>(i)] != static_cast<float>(driver.codes[i]) / 1000.0f;
        EXPECT_EQ(wrong, 0) << w << "x" << h << " + " << extra;

        ASSERT_EQ(nivex_frame_get_gray(&dev_, dst.data(), pixels + extra, raw, 1, &info), pixels);
        EXPECT_EQ(driver.last_kind, 2);
        wrong = 0;
        for (int i = 0; i < pixels; ++i)
            wrong += dst[static_cast<size_t>(i)] != static_cast<float>(driver.codes[i]);
        EXPECT_EQ(wrong, 0) << w << "x" << h << " + " << extra;
    }
}

TEST_F(DecodeTest, MarkerCodesBecomeTheirMetreValues) {
    TestDriver driver;
    driver.codes = {NX_PIXEL_LOW_AMP, NX_PIXEL_SATURATED, NX_PIXEL_OVERFLOW, 0, 60000, 1};
    DriverOverride use(dev_, driver);
    const nivex_frame_meta info = meta(6, 1);
    const uint8_t raw[1] = {};
    float dst[6];
    ASSERT_EQ(nivex_frame_get_distance(&dev_, dst, 6, raw, 1, &info), 6);
    EXPECT_EQ(dst[0], 65.3f);
    EXPECT_EQ(dst[1], 65.4f);
    EXPECT_EQ(dst[2], 65.5f);
    EXPECT_EQ(dst[3], 0.0f);
    EXPECT_EQ(dst[4], 60.0f);
    EXPECT_EQ(dst[5], 0.001f);
    ASSERT_EQ(nivex_frame_get_gray(&dev_, dst, 6, raw, 1, &info), 6);
    EXPECT_EQ(dst[0], 65300.0f);
    EXPECT_EQ(dst[5], 1.0f);
}

// A driver that delivers fewer samples than the image has: the count says
// so, and the pixels it left out read as "no distance", not as scratch bytes.
TEST_F(DecodeTest, PixelsTheDriverLeftOutAreZero) {
    TestDriver driver;
    driver.codes = {1000, 2000, 3000};
    DriverOverride use(dev_, driver);
    const nivex_frame_meta info = meta(4, 2);
    const uint8_t raw[1] = {};
    std::vector<float> dst(8, kSentinel);
    std::memset(dst.data() + 4, 0x55, 4 * sizeof(float));
    ASSERT_EQ(nivex_frame_get_distance(&dev_, dst.data(), 8, raw, 1, &info), 3);
    EXPECT_EQ(dst, (std::vector<float>{1, 2, 3, 0, 0, 0, 0, 0}));
}

// TI frames end to end: one 32-bit word per pixel, phase in the high half,
// amplitude in the low half, over a 3.122838 m unambiguous range.
TEST_F(DecodeTest, TiFramesDecodeToMetresAndAmplitudes) {
    nivex_frame_meta info{};
    const std::vector<uint8_t> raw = snapshot(info);
    ASSERT_EQ(info.width, 320u);
    ASSERT_EQ(info.height, 240u);
    ASSERT_EQ(raw.size(), 320u * 240u * 4u);
    const int pixels = 320 * 240;
    std::vector<float> dist(pixels), gray(pixels);
    const int len = static_cast<int>(raw.size());
    ASSERT_EQ(nivex_frame_get_distance(&dev_, dist.data(), pixels, raw.data(), len, &info), pixels);
    ASSERT_EQ(nivex_frame_get_gray(&dev_, gray.data(), pixels, raw.data(), len, &info), pixels);
    int wrong = 0;
    for (int i = 0; i < pixels; ++i) {
        uint32_t word;
        std::memcpy(&word, raw.data() + 4 * i, 4);
        const double metres = ((word >> 16) & 0xFFF) / 4096.0 * 3.122838;
        wrong += std::abs(dist[static_cast<size_t>(i)] - metres) > 0.0006 ||
                 gray[static_cast<size_t>(i)] != static_cast<float>(word & 0xFFF);
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(DecodeTest, ShortRawFramesAndFailedDecodesGiveZero) {
    TestDriver driver;
    driver.codes.assign(4, 100);
    DriverOverride use(dev_, driver);
    const nivex_frame_meta info = meta(2, 2, 16);
    uint8_t raw[16] = {};
    float dst[4];
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 15, &info), 0);
    EXPECT_TRUE(logged("[_nivex_frame_get_u16] raw frame length too small: datalen=15, frlen=16"));
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, -1, &info), 0);
    EXPECT_EQ(driver.decode_calls, 0);

    driver.decode_result = -1;
    EXPECT_EQ(nivex_frame_get_gray(&dev_, dst, 4, raw, 16, &info), 0);
    EXPECT_TRUE(logged("[_nivex_frame_get_u16] raw frame decode to 2 failed: -1"));
}

TEST_F(DecodeTest, UnusableArgumentsAreRefused) {
    TestDriver driver;
    driver.codes.assign(4, 100);
    DriverOverride use(dev_, driver);
    const uint8_t raw[4] = {};
    float dst[4];
    nivex_frame_meta info = meta(0, 4);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 4, &info), 0);
    EXPECT_TRUE(logged("[nivex_frame_get_distance] wrong frame size: 0x4"));
    info = meta(4, 0);
    EXPECT_EQ(nivex_frame_get_gray(&dev_, dst, 4, raw, 4, &info), 0);
    // A width x height product beyond 32 bits must not wrap below dst_len.
    info = meta(0x10000, 0x10000);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 4, &info), 0);
    info = meta(2, 2);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 4, nullptr), 0);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, nullptr, 4, raw, 4, &info), 0);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, nullptr, 4, &info), 0);
    EXPECT_EQ(driver.decode_calls, 0);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 4, &info), 4);
}

TEST_F(DecodeTest, DeviceWithoutSessionOrDecodeIsRefused) {
    const nivex_frame_meta info = meta(2, 2);
    const uint8_t raw[4] = {};
    float dst[4];
    EXPECT_EQ(nivex_frame_get_distance(nullptr, dst, 4, raw, 4, &info), 0);
    nivex_device never_opened{};
    EXPECT_EQ(nivex_frame_get_gray(&never_opened, dst, 4, raw, 4, &info), 0);
    EXPECT_EQ(count_lines(log_text(), "[_nivex_frame_get_u16] Wrong params"), 2);

    {
        TestDriver no_decode;
        no_decode.has_decode = false;
        DriverOverride use(dev_, no_decode);
        EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 4, &info), 0);
        EXPECT_TRUE(logged("[_nivex_frame_get_u16] no frame decode in driver"));
    }
    nivex_dev_close(&dev_);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dst, 4, raw, 4, &info), 0);
    EXPECT_EQ(count_lines(log_text(), "[_nivex_frame_get_u16] Wrong params"), 3);
}

// The conversions do not talk to the camera: an open device whose camera
// left the bus still converts the frames taken before.
TEST_F(DecodeTest, ConvertsAfterTheCameraWasUnplugged) {
    nivex_frame_meta info{};
    const std::vector<uint8_t> raw = snapshot(info);
    camera_.unplug();
    const int pixels = 320 * 240;
    std::vector<float> dist(pixels);
    EXPECT_EQ(nivex_frame_get_distance(&dev_, dist.data(), pixels, raw.data(),
                                       static_cast<int>(raw.size()), &info),
              pixels);
    EXPECT_EQ(nivex_filter_disable(&dev_, NIVEX_FILTER_DEPTH_SMOOTH), 1);
    const nivex_lens_param lens = {160, 120, 200, 200, 1};
    std::vector<float> pcl(3 * pixels);
    EXPECT_GT(
        nivex_frame_get_pcl(&dev_, pcl.data(), 3 * pixels, dist.data(), pixels, 320, 240, &lens),
        0);
}

}  // namespace
}  // namespace nxtest
