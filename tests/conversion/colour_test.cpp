// Colour images: layouts, pixel counts, the range (its order, its sharing
// with the point clouds, calls on several threads), the colours themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "imgproc/nx_cmap.h"
#include "support/sim_fixture.h"

namespace nxtest {
namespace {

class ColourTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(nx_cmap_init(&ref_, 30000));
    }
    void TearDown() override {
        nx_cmap_uninit(&ref_);
        SimTest::TearDown();
    }
    // The colour the map with range lo..hi (metres) gives v.
    uint32_t expected(float v, float lo, float hi) {
        nx_cmap_set_range(&ref_, static_cast<int>(lo * 1000), static_cast<int>(hi * 1000));
        if (std::isnan(v) || std::abs(v) > 2e6f) return 0;
        return nx_cmap_get_color(&ref_, static_cast<int>(v * 1000));
    }
    nx_cmap ref_{};
};

// Millimetres of a pixel, clamped to the int range.
int clamped_mm(float metres) {
    const float mm = metres * 1000.0f;
    if (mm >= 2147483648.0f) return INT32_MAX;
    if (mm < -2147483648.0f) return INT32_MIN;
    return static_cast<int>(mm);
}

std::vector<float> sweep() {
    std::vector<float> v = {65.3f,
                            65.4f,
                            65.5f,
                            0.0f,
                            -0.5f,
                            0.5f,
                            0.5001f,
                            3.0f,
                            2.9999f,
                            3.001f,
                            1e9f,
                            -1e9f,
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity()};
    for (int i = 0; i < 400; ++i)
        v.push_back(0.4f + static_cast<float>(i) * 0.00731f);
    return v;
}

TEST_F(ColourTest, EveryLayoutWritesTheMapsColours) {
    const std::vector<float> src = sweep();
    const int n = static_cast<int>(src.size());
    std::vector<uint8_t> rgb(3 * src.size()), bgr(3 * src.size());
    std::vector<uint32_t> words(src.size());
    ASSERT_EQ(nivex_cmap_float(rgb.data(), 3 * n, src.data(), n, NIVEX_CMAP_OUTFMT_3B, 0.5f, 3.0f),
              n);
    ASSERT_EQ(
        nivex_cmap_float(bgr.data(), 3 * n, src.data(), n, NIVEX_CMAP_OUTFMT_3B_SWAP, 0.5f, 3.0f),
        n);
    ASSERT_EQ(
        nivex_cmap_float(words.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, 0.5f, 3.0f), n);
    int wrong = 0, black = 0;
    for (size_t i = 0; i < src.size(); ++i) {
        const uint32_t c = expected(src[i], 0.5f, 3.0f);
        black += c == 0;
        wrong += words[i] != c;
        wrong += rgb[3 * i] != (c & 0xFF) || rgb[3 * i + 1] != ((c >> 8) & 0xFF) ||
                 rgb[3 * i + 2] != (c >> 16);
        wrong += bgr[3 * i] != (c >> 16) || bgr[3 * i + 1] != ((c >> 8) & 0xFF) ||
                 bgr[3 * i + 2] != (c & 0xFF);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(black, 100);  // the sweep mostly lies inside the range
}

// Random images over ranges of every kind (narrow, negative, empty, wider
// than the int range): the colours are the map's, whichever way the pixels
// were computed.
TEST_F(ColourTest, RandomImagesGetTheMapsColoursInEveryRange) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> metres(-3.0f, 70.0f);
    std::vector<float> src(5003);
    for (float &v : src)
        v = metres(rng);
    for (size_t i = 0; i < src.size(); i += 97)
        src[i] = std::vector<float>{65.3f, 65.4f, 65.5f, 3e6f, -3e6f}[i % 5];
    const int n = static_cast<int>(src.size());
    std::vector<uint32_t> got(src.size());
    for (auto [lo, hi] : {std::pair{0.5f, 3.0f},
                          {-2.0f, 1.0f},
                          {1.5f, 1.5f},
                          {0.0f, 65.0f},
                          {-2e6f, 2e6f},
                          {0.001f, 0.002f}}) {
        ASSERT_EQ(nivex_cmap_float(got.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, lo, hi),
                  n);
        int wrong = 0;
        for (size_t i = 0; i < src.size(); ++i)
            wrong += got[i] != nx_cmap_get_color(&g_nx_cmap, clamped_mm(src[i]));
        EXPECT_EQ(wrong, 0) << lo << " .. " << hi;
    }
}

TEST_F(ColourTest, ByteOrderOfTheLayouts) {
    const float saturated = 65.4f;  // colour 0x8000FF: red FF, blue 80
    uint8_t out[4] = {1, 1, 1, 1};
    ASSERT_EQ(nivex_cmap_float(out, 3, &saturated, 1, NIVEX_CMAP_OUTFMT_3B_SWAP, 0, 4), 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x80, 0x00, 0xFF, 1}));
    ASSERT_EQ(nivex_cmap_float(out, 3, &saturated, 1, NIVEX_CMAP_OUTFMT_3B, 0, 4), 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xFF, 0x00, 0x80, 1}));
    uint32_t word = 0;
    ASSERT_EQ(nivex_cmap_float(&word, 4, &saturated, 1, NIVEX_CMAP_OUTFMT_U32, 0, 4), 1);
    EXPECT_EQ(word, 0x8000FFu);
}

TEST_F(ColourTest, PixelCountFollowsTheShorterBuffer) {
    const std::vector<float> src(10, 1.0f);
    std::vector<uint8_t> out(16, 0xEE);
    const uint32_t c = expected(1.0f, 0, 4);
    const std::vector<uint8_t> pixel = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8),
                                        static_cast<uint8_t>(c >> 16)};
    EXPECT_EQ(nivex_cmap_float(out.data(), 7, src.data(), 10, NIVEX_CMAP_OUTFMT_3B, 0, 4), 2);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 3, out.begin() + 6), pixel);
    EXPECT_EQ(out[6], 0xEE);
    EXPECT_EQ(nivex_cmap_float(out.data(), 16, src.data(), 3, NIVEX_CMAP_OUTFMT_U32, 0, 4), 3);
    EXPECT_EQ(out[12], 0xEE);
    // Unknown layout: nothing written.
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(nivex_cmap_float(out.data(), 16, src.data(), 10, 3, 0, 4), 0);
    EXPECT_EQ(nivex_cmap_float(out.data(), 16, src.data(), 10, -1, 0, 4), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xEE));
    // A count that is not positive is returned as it is, nothing written.
    EXPECT_EQ(nivex_cmap_float(out.data(), 16, src.data(), -4, NIVEX_CMAP_OUTFMT_3B, 0, 4), -4);
    EXPECT_EQ(nivex_cmap_float(out.data(), 2, src.data(), 10, NIVEX_CMAP_OUTFMT_3B, 0, 4), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xEE));
    EXPECT_EQ(nivex_cmap_float(nullptr, 16, src.data(), 10, NIVEX_CMAP_OUTFMT_3B, 0, 4), 0);
    EXPECT_EQ(nivex_cmap_float(out.data(), 16, nullptr, 10, NIVEX_CMAP_OUTFMT_3B, 0, 4), 0);
}

// The 3-byte layouts are written in overlapping vector stores: whatever the
// pixel count, every pixel is right and nothing past the last one changes.
TEST_F(ColourTest, ThreeByteLayoutsEndExactlyAtTheLastPixel) {
    const std::vector<float> all = sweep();
    for (int layout : {NIVEX_CMAP_OUTFMT_3B, NIVEX_CMAP_OUTFMT_3B_SWAP}) {
        for (int n = 1; n <= 40; ++n) {
            std::vector<uint8_t> out(3 * n + 8, 0xEE);
            ASSERT_EQ(nivex_cmap_float(out.data(), 3 * n, all.data() + 20, n, layout, 0.5f, 3.0f),
                      n);
            int wrong = 0;
            for (int i = 0; i < n; ++i) {
                const uint32_t c = expected(all[20 + i], 0.5f, 3.0f);
                const uint8_t first = layout == NIVEX_CMAP_OUTFMT_3B ? c & 0xFF : c >> 16;
                wrong += out[3 * i] != first || out[3 * i + 1] != ((c >> 8) & 0xFF);
            }
            EXPECT_EQ(wrong, 0) << layout << " n=" << n;
            EXPECT_EQ(std::vector<uint8_t>(out.begin() + 3 * n, out.end()),
                      std::vector<uint8_t>(8, 0xEE))
                << layout << " n=" << n;
        }
    }
}

TEST_F(ColourTest, SwappedRangeMapsTheSame) {
    const std::vector<float> src = sweep();
    const int n = static_cast<int>(src.size());
    std::vector<uint32_t> a(src.size()), b(src.size());
    nivex_cmap_float(a.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, 0.7f, 2.2f);
    nivex_cmap_float(b.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, 2.2f, 0.7f);
    EXPECT_EQ(a, b);
    EXPECT_NE(std::count(a.begin(), a.end(), 0u), n);
}

// The range is also the library-wide map's, for the point clouds.
TEST_F(ColourTest, TheLastRangeIsPublished) {
    nivex_cmap_float(nullptr, 0, nullptr, 0, NIVEX_CMAP_OUTFMT_3B, 2.5f, 1.25f);
    EXPECT_EQ(g_nx_cmap.range_min, 1250);
    EXPECT_EQ(g_nx_cmap.range_max, 2500);
    EXPECT_FLOAT_EQ(g_nx_cmap.index_scale, 30000.0f / 1250.0f);
    // Ends that are no number or beyond the int range do not make the range
    // undefined.
    nivex_cmap_float(nullptr, 0, nullptr, 0, 9, std::numeric_limits<float>::quiet_NaN(), 1e12f);
    EXPECT_EQ(g_nx_cmap.range_min, 0);
    EXPECT_EQ(g_nx_cmap.range_max, INT32_MAX);
}

// Two threads colouring with different ranges each get their own range's
// colours, every time.
TEST_F(ColourTest, ThreadsWithDifferentRangesDoNotMixThem) {
    const std::vector<float> src = sweep();
    const int n = static_cast<int>(src.size());
    std::vector<uint32_t> near(src.size()), far(src.size());
    nivex_cmap_float(near.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, 0.5f, 1.5f);
    nivex_cmap_float(far.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, 1.5f, 3.5f);
    ASSERT_NE(near, far);
    std::atomic<int> mixed{0};
    auto worker = [&](float lo, float hi, const std::vector<uint32_t> &want) {
        std::vector<uint32_t> got(src.size());
        for (int round = 0; round < 300; ++round) {
            nivex_cmap_float(got.data(), 4 * n, src.data(), n, NIVEX_CMAP_OUTFMT_U32, lo, hi);
            if (got != want) mixed.fetch_add(1);
        }
    };
    std::thread a(worker, 0.5f, 1.5f, std::cref(near));
    std::thread b(worker, 1.5f, 3.5f, std::cref(far));
    a.join();
    b.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
}  // namespace nxtest
