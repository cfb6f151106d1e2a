// Undistortion maps and remapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "filter_reference.h"
#include "imgproc/nx_calib_len.h"

namespace {

using filtertest::LogCapture;

epc_lens_param default_lens() {
    return nx::kDefaultLensParam;
}

epc_lens_param ideal_lens() {
    epc_lens_param lens = default_lens();
    for (double &d : lens.dcoeff)
        d = 0.0;
    return lens;
}

// Owns a built map.
struct BuiltMap {
    nx_lens_map map{};
    explicit BuiltMap(const epc_lens_param &lens) { built = nx_calib_len_init_map(&map, &lens); }
    ~BuiltMap() { nx_calib_len_uninit_map(&map); }
    BuiltMap(const BuiltMap &) = delete;
    BuiltMap &operator=(const BuiltMap &) = delete;
    int built = 0;
};

// A hand-made map record over caller-owned arrays.
nx_lens_map manual_map(std::vector<float> &xs, std::vector<float> &ys, int w, int h) {
    nx_lens_map m{};
    m.map_x = xs.data();
    m.map_y = ys.data();
    m.map_len = w * h;
    m.width = w;
    m.height = h;
    m.ready = 1;
    return m;
}

// The remap rule written out per pixel.
template <class P>
std::vector<P> ref_remap(const nx_lens_map &m, const std::vector<P> &src, int w, int h, P invalid) {
    int sx = m.width / w, sy = m.height / h;
    std::vector<P> out(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            size_t at = static_cast<size_t>(y * sy) * m.width + static_cast<size_t>(x * sx);
            float fx = m.map_x[at] / static_cast<float>(sx) + 0.5f;
            float fy = m.map_y[at] / static_cast<float>(sy) + 0.5f;
            int col = static_cast<int>(std::trunc(fx)), row = static_cast<int>(std::trunc(fy));
            bool inside = fx > -1.0f && fy > -1.0f && col < w && row < h;
            out[static_cast<size_t>(y) * w + x] =
                inside ? src[static_cast<size_t>(row) * w + col] : invalid;
        }
    }
    return out;
}

std::vector<uint16_t> ramp_u16(int w, int h) {
    std::vector<uint16_t> v(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint16_t>(i * 7 + 1);
    return v;
}

TEST(LensMap, WithoutDistortionScalesByWOverWMinusOne) {
    BuiltMap m(ideal_lens());
    ASSERT_EQ(m.built, 320 * 240);
    EXPECT_EQ(m.map.ready, 1);
    EXPECT_EQ(m.map.map_len, 320 * 240);
    EXPECT_EQ(m.map.width, 320);
    EXPECT_EQ(m.map.height, 240);
    EXPECT_EQ(m.map.roi_x, 0);
    EXPECT_EQ(m.map.roi_y, 0);
    EXPECT_EQ(m.map.roi_w, 319);
    EXPECT_EQ(m.map.roi_h, 239);
    for (int r : {0, 1, 120, 239}) {
        for (int c : {0, 1, 100, 318, 319}) {
            size_t at = static_cast<size_t>(r) * 320 + c;
            EXPECT_NEAR(m.map.map_x[at], c * 320.0 / 319.0, 1e-4) << r << "," << c;
            EXPECT_NEAR(m.map.map_y[at], r * 240.0 / 239.0, 1e-4) << r << "," << c;
        }
    }
    // Column 0 samples column 0; the last column and row land outside.
    std::vector<uint16_t> src = ramp_u16(320, 240), dst(src.size(), 1);
    ASSERT_EQ(nx_calib_len_undistort_u16(&m.map, dst.data(), 320 * 240, src.data(), 320, 240, 0),
              1);
    EXPECT_EQ(dst[0], src[0]);
    EXPECT_EQ(dst[100], src[100]);  // 100 * 320 / 319 = 100.3
    EXPECT_EQ(dst[200], src[201]);  // 200.6
    for (int y = 0; y < 240; ++y)
        EXPECT_EQ(dst[static_cast<size_t>(y) * 320 + 319], 0) << y;
    for (int x = 0; x < 320; ++x)
        EXPECT_EQ(dst[239 * 320 + static_cast<size_t>(x)], 0) << x;
    EXPECT_EQ(dst, ref_remap(m.map, src, 320, 240, uint16_t{0}));
}

// The lens model, written out: distortion of normalised coordinates and its
// inverse by (many) fixed-point steps.
struct Model {
    epc_lens_param lens;

    void distort(double x, double y, double &u, double &v) const {
        const double *d = lens.dcoeff;  // k1, k2, p1, p2, k3
        double r2 = x * x + y * y;
        double kr = 1 + d[0] * r2 + d[1] * r2 * r2 + d[4] * r2 * r2 * r2;
        u = lens.cx + lens.fx * (x * kr + 2 * d[2] * x * y + d[3] * (r2 + 2 * x * x));
        v = lens.cy + lens.fy * (y * kr + d[2] * (r2 + 2 * y * y) + 2 * d[3] * x * y);
    }

    void undistort(double u, double v, double &x, double &y) const {
        x = (u - lens.cx) / lens.fx;
        y = (v - lens.cy) / lens.fy;
        for (int i = 0; i < 60; ++i) {
            double du, dv;
            distort(x, y, du, dv);
            x -= (du - u) / lens.fx;
            y -= (dv - v) / lens.fy;
        }
    }
};

// What the map must be: a corrected pixel is an affine image of normalised
// undistorted coordinates, scaled so that the undistorted 9x9 sensor grid
// spans columns 0 .. W-1 and rows 0 .. H-1 exactly, and its map entry is the
// distorted position of those coordinates.
TEST(LensMap, RealLensMapFollowsTheModel) {
    Model model{default_lens()};
    BuiltMap m(model.lens);
    ASSERT_EQ(m.built, 320 * 240);
    double xmin = 1e9, xmax = -1e9, ymin = 1e9, ymax = -1e9;
    for (int i = 0; i <= 8; ++i) {
        for (int j = 0; j <= 8; ++j) {
            double x, y;
            model.undistort(320.0 * j / 8, 240.0 * i / 8, x, y);
            xmin = std::min(xmin, x);
            xmax = std::max(xmax, x);
            ymin = std::min(ymin, y);
            ymax = std::max(ymax, y);
        }
    }
    for (int r = 0; r < 240; r += 7) {
        for (int c = 0; c < 320; c += 11) {
            double x = xmin + (xmax - xmin) * c / 319.0;
            double y = ymin + (ymax - ymin) * r / 239.0;
            double u, v;
            model.distort(x, y, u, v);
            size_t at = static_cast<size_t>(r) * 320 + c;
            ASSERT_NEAR(m.map.map_x[at], u, 2e-3) << r << "," << c;
            ASSERT_NEAR(m.map.map_y[at], v, 2e-3) << r << "," << c;
        }
    }
    // The fully covered rectangle: inside the image, and every corrected
    // pixel in it has a source inside the sensor.
    const nx_lens_map &map = m.map;
    EXPECT_GT(map.roi_w, 200);
    EXPECT_GT(map.roi_h, 150);
    EXPECT_GE(map.roi_x, 0);
    EXPECT_GE(map.roi_y, 0);
    EXPECT_LE(map.roi_x + map.roi_w, 320);
    EXPECT_LE(map.roi_y + map.roi_h, 240);
    for (int r = map.roi_y + 1; r < map.roi_y + map.roi_h - 1; ++r) {
        for (int c = map.roi_x + 1; c < map.roi_x + map.roi_w - 1; ++c) {
            size_t at = static_cast<size_t>(r) * 320 + c;
            ASSERT_TRUE(map.map_x[at] > -0.5f && map.map_x[at] < 319.5f) << r << "," << c;
            ASSERT_TRUE(map.map_y[at] > -0.5f && map.map_y[at] < 239.5f) << r << "," << c;
        }
    }
}

TEST(LensRemap, RealLensMatchesPerPixelRuleAtEveryScale) {
    BuiltMap m(default_lens());
    ASSERT_EQ(m.built, 320 * 240);
    for (auto [w, h] : {std::pair{320, 240}, std::pair{160, 120}, std::pair{64, 48},
                        std::pair{320, 80}, std::pair{5, 3}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        std::vector<uint16_t> src = ramp_u16(w, h), dst(src.size(), 1);
        ASSERT_EQ(nx_calib_len_undistort_u16(&m.map, dst.data(), w * h, src.data(), w, h, 65300),
                  1);
        EXPECT_EQ(dst, ref_remap(m.map, src, w, h, uint16_t{65300}));
        std::vector<float> fsrc(src.begin(), src.end()), fdst(src.size(), 1.0f);
        ASSERT_EQ(nx_calib_len_undistort_f32(&m.map, fdst.data(), w * h, fsrc.data(), w, h, -1.0f),
                  1);
        EXPECT_EQ(fdst, ref_remap(m.map, fsrc, w, h, -1.0f));
    }
}

TEST(LensRemap, RoundsHalfUpAndTruncatesTowardZero) {
    // One row of 24 map entries for a 24-wide image, so that whole vector lanes
    // and the tail both see every case: -1.2 and src_w - 0.6 are inside,
    // -1.5 and src_w - 0.5 are not.
    std::vector<float> xs, ys;
    for (int i = 0; i < 6; ++i) {
        for (float v : {-1.2f, -1.5f, 24 - 0.6f, 24 - 0.5f}) {
            xs.push_back(v);
            ys.push_back(0.0f);
        }
    }
    ys[4] = -1.5f;  // row out of range
    ys[8] = -1.2f;  // row 0
    ys[10] = 0.4f;  // row 0
    nx_lens_map m = manual_map(xs, ys, 24, 1);
    std::vector<uint16_t> src(24), dst(24, 1);
    for (int i = 0; i < 24; ++i)
        src[i] = static_cast<uint16_t>(10 + i);
    ASSERT_EQ(nx_calib_len_undistort_u16(&m, dst.data(), 24, src.data(), 24, 1, 9), 1);
    std::vector<uint16_t> want;
    for (int i = 0; i < 6; ++i)
        want.insert(want.end(), {10, 9, 33, 9});
    want[4] = 9;
    EXPECT_EQ(dst, want);
    std::vector<float> fsrc(src.begin(), src.end()), fdst(24, 0.0f);
    ASSERT_EQ(nx_calib_len_undistort_f32(&m, fdst.data(), 24, fsrc.data(), 24, 1, 9.0f), 1);
    EXPECT_EQ(fdst, std::vector<float>(want.begin(), want.end()));

    // Against a 4-wide image the map is 6 times wider: positions are divided
    // by 6 before rounding.
    std::vector<float> wide_x, wide_y(24, 0.0f);
    for (float v : {-1.2f * 6, -1.5f * 6, 3.4f * 6, 3.5f * 6})
        wide_x.insert(wide_x.end(), 6, v);
    nx_lens_map m4 = manual_map(wide_x, wide_y, 24, 1);
    std::vector<uint16_t> narrow_src = {50, 51, 52, 53}, narrow(4, 1);
    ASSERT_EQ(nx_calib_len_undistort_u16(&m4, narrow.data(), 4, narrow_src.data(), 4, 1, 9), 1);
    EXPECT_EQ(narrow, (std::vector<uint16_t>{50, 9, 53, 9}));
}

TEST(LensRemap, ParameterErrors) {
    BuiltMap m(ideal_lens());
    std::vector<uint16_t> src(320 * 240, 5), dst(320 * 240, 1);
    {
        LogCapture log;
        EXPECT_EQ(
            nx_calib_len_undistort_u16(&m.map, dst.data(), 320 * 240, src.data(), 300, 240, 0), 0);
        EXPECT_NE(
            log.text().find("[nx_calib_len_undistort_u16] Wrong parameter: calib_map: 320x240, "
                            "src_img: 300x240\n"),
            std::string::npos);
    }
    {
        LogCapture log;
        std::vector<float> f(320 * 240);
        EXPECT_EQ(
            nx_calib_len_undistort_f32(&m.map, f.data(), 320 * 240 - 1, f.data(), 320, 240, 0), 0);
        EXPECT_NE(log.text().find(
                      "[nx_calib_len_undistort_f32] Wrong parameter: 320x240 > dst_len=76799\n"),
                  std::string::npos);
    }
    {
        LogCapture log;  // a zero size would divide by zero: refused like any other misfit
        EXPECT_EQ(nx_calib_len_undistort_u16(&m.map, dst.data(), 320 * 240, src.data(), 0, 240, 0),
                  0);
        EXPECT_NE(log.text().find("calib_map: 320x240, src_img: 0x240\n"), std::string::npos);
        EXPECT_EQ(nx_calib_len_undistort_u16(&m.map, dst.data(), 320 * 240, src.data(), 320, 0, 0),
                  0);
    }
    {
        LogCapture log;
        nx_lens_map unbuilt{};
        EXPECT_EQ(
            nx_calib_len_undistort_u16(&unbuilt, dst.data(), 320 * 240, src.data(), 320, 240, 0),
            0);
        EXPECT_EQ(
            nx_calib_len_undistort_u16(nullptr, dst.data(), 320 * 240, src.data(), 320, 240, 0), 0);
        EXPECT_NE(log.text().find(
                      "[nx_calib_len_undistort_u16] Wrong parameter: calib_map is not built\n"),
                  std::string::npos);
    }
    // A negative size passes the checks and writes nothing.
    EXPECT_EQ(nx_calib_len_undistort_u16(&m.map, dst.data(), 0, src.data(), -320, 240, 0), 1);
    EXPECT_EQ(dst, std::vector<uint16_t>(320 * 240, 1));
}

TEST(LensMap, BuildAndRelease) {
    nx_lens_map never{};
    never.map_len = 17;
    nx_calib_len_uninit_map(&never);  // not built: unchanged
    EXPECT_EQ(never.map_len, 17);
    EXPECT_EQ(never.ready, 0);

    epc_lens_param lens = default_lens();
    nx_lens_map map{};
    ASSERT_EQ(nx_calib_len_init_map(&map, &lens), 320 * 240);
    nx_calib_len_uninit_map(&map);
    EXPECT_EQ(map.ready, 0);
    EXPECT_EQ(map.map_x, nullptr);
    nx_calib_len_uninit_map(&map);

    // Unusable lens records build nothing.
    LogCapture log;
    for (auto change :
         {+[](epc_lens_param &l) { l.img_w = 1; }, +[](epc_lens_param &l) { l.img_h = 0; },
          +[](epc_lens_param &l) { l.fx = 0.0; },
          +[](epc_lens_param &l) { l.dcoeff[2] = std::nan(""); }}) {
        epc_lens_param bad = default_lens();
        change(bad);
        EXPECT_EQ(nx_calib_len_init_map(&map, &bad), 0);
        EXPECT_EQ(map.ready, 0);
        EXPECT_EQ(map.map_x, nullptr);
    }
    EXPECT_NE(log.text().find("[nx_calib_len_init_map] Wrong lens parameter: img 1x240"),
              std::string::npos);
    EXPECT_EQ(nx_calib_len_init_map(nullptr, &lens), 0);
    EXPECT_EQ(nx_calib_len_init_map(&map, nullptr), 0);
}

TEST(LensMap, OutOfMemoryIsReportedNotFatal) {
    if (filtertest::kSanitizedAllocator) GTEST_SKIP() << "sanitizer allocator";
    LogCapture log;
    epc_lens_param lens = default_lens();
    lens.img_w = 40000;  // two maps of 6.4 GB each
    lens.img_h = 40000;
    nx_lens_map map{};
    int built = -1;
    ASSERT_TRUE(
        filtertest::with_capped_memory([&] { built = nx_calib_len_init_map(&map, &lens); }));
    EXPECT_EQ(built, 0);
    EXPECT_EQ(map.ready, 0);
    EXPECT_NE(log.text().find("[nx_calib_len_init_map] malloc failed\n"), std::string::npos);
}

}  // namespace
