// Point clouds of undistorted images. The decode of a camera with lens
// undistortion on delivers an image in the corrected camera's pixel grid, so
// its point cloud must be projected with that camera's intrinsics, not with
// the lens record's. Here a test driver plays such a camera: it renders a
// flat wall through the default lens (radial distances per sensor pixel) and
// undistorts it with the library's maps, as the EPC decode does.
#include <cmath>
#include <cstdio>

#include "conversion/conversion_fixture.h"
#include "imgproc/nx_calib_len.h"

namespace nxtest {
namespace {

constexpr int kW = 320, kH = 240;
constexpr double kWall = 1.5;  // metres, perpendicular to the optical axis

// Normalised coordinates of the lens model: distorted from undistorted.
void distort(const epc_lens_param &l, double x, double y, double &xd, double &yd) {
    const double k1 = l.dcoeff[0], k2 = l.dcoeff[1], p1 = l.dcoeff[2], p2 = l.dcoeff[3],
                 k3 = l.dcoeff[4];
    const double r2 = x * x + y * y;
    const double kr = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
    xd = x * kr + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    yd = y * kr + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
}

// The undistorted normalised coordinates a sensor pixel sees (Newton's method).
void sensor_ray(const epc_lens_param &l, double u, double v, double &x, double &y) {
    const double xt = (u - l.cx) / l.fx, yt = (v - l.cy) / l.fy;
    x = xt;
    y = yt;
    for (int i = 0; i < 30; ++i) {
        double fx, fy, ax, ay, bx, by;
        const double h = 1e-7;
        distort(l, x, y, fx, fy);
        distort(l, x + h, y, ax, ay);
        distort(l, x, y + h, bx, by);
        const double j11 = (ax - fx) / h, j21 = (ay - fy) / h, j12 = (bx - fx) / h,
                     j22 = (by - fy) / h;
        const double det = j11 * j22 - j12 * j21;
        const double ex = fx - xt, ey = fy - yt;
        x -= (j22 * ex - j12 * ey) / det;
        y -= (-j21 * ex + j11 * ey) / det;
    }
}

// The wall as the decode delivers it: millimetres, undistorted.
std::vector<uint16_t> undistorted_wall(const epc_lens_param &lens) {
    std::vector<uint16_t> sensor(kW * kH);
    for (int v = 0; v < kH; ++v) {
        for (int u = 0; u < kW; ++u) {
            double x, y;
            sensor_ray(lens, u, v, x, y);
            sensor[v * kW + u] =
                static_cast<uint16_t>(std::lround(kWall * std::sqrt(1 + x * x + y * y) * 1000));
        }
    }
    nx_lens_map map{};
    EXPECT_GT(nx_calib_len_init_map(&map, &lens), 0);
    std::vector<uint16_t> image(kW * kH);
    EXPECT_EQ(nx_calib_len_undistort_u16(&map, image.data(), kW * kH, sensor.data(), kW, kH, 0), 1);
    nx_calib_len_uninit_map(&map);
    return image;
}

class UndistortedCloudTest : public ConversionTest {
  protected:
    PlaneFit wall_cloud(const epc_lens_param &delivered_intrinsics) {
        TestDriver driver;
        driver.codes = undistorted_wall(nx::kDefaultLensParam);
        driver.lens = delivered_intrinsics;
        DriverOverride use(dev_, driver);
        const nivex_frame_meta info = meta(kW, kH, 1);
        const uint8_t raw[1] = {};
        std::vector<float> dist(kW * kH), cloud(3 * kW * kH);
        EXPECT_EQ(nivex_frame_get_distance(&dev_, dist.data(), kW * kH, raw, 1, &info), kW * kH);
        const int n = nivex_frame_get_pcl(&dev_, cloud.data(), 3 * kW * kH, dist.data(), kW * kH,
                                          kW, kH, nullptr);
        return fit_plane(cloud, n, kWall);
    }
};

// The intrinsics of the corrected image agree with the maps: a corrected
// pixel's ray through the new camera matrix is the ray of the sensor
// position the map names for it.
TEST(UndistortedIntrinsics, AgreeWithTheUndistortionMaps) {
    const epc_lens_param &lens = nx::kDefaultLensParam;
    epc_lens_param k{};
    ASSERT_TRUE(nx::lens_undistorted_param(lens, k));
    EXPECT_EQ(k.img_w, kW);
    EXPECT_EQ(k.img_h, kH);
    for (double d : k.dcoeff)
        EXPECT_EQ(d, 0.0);
    EXPECT_NEAR(k.fx, 149, 2);  // the whole distorted field fits: shorter than 210.8
    nx_lens_map map{};
    ASSERT_GT(nx_calib_len_init_map(&map, &lens), 0);
    double worst = 0;
    for (int r = 10; r < kH - 10; r += 23) {
        for (int c = 10; c < kW - 10; c += 29) {
            double x, y;
            sensor_ray(lens, map.map_x[r * kW + c], map.map_y[r * kW + c], x, y);
            worst =
                std::max({worst, std::abs((c - k.cx) / k.fx - x), std::abs((r - k.cy) / k.fy - y)});
        }
    }
    nx_calib_len_uninit_map(&map);
    EXPECT_LT(worst, 1e-4);
    epc_lens_param unusable = lens;
    unusable.fx = 0;
    EXPECT_FALSE(nx::lens_undistorted_param(unusable, k));
}

TEST_F(UndistortedCloudTest, FlatWallStaysFlatWithTheCorrectedIntrinsics) {
    epc_lens_param corrected{};
    ASSERT_TRUE(nx::lens_undistorted_param(nx::kDefaultLensParam, corrected));
    const PlaneFit fit = wall_cloud(corrected);
    std::printf("corrected intrinsics: %d points, offset %.2f mm, RMS %.2f mm, slopes %.5f %.5f\n",
                fit.points, fit.offset_mm, fit.rms_mm, fit.slope_x, fit.slope_y);
    EXPECT_GT(fit.points, kW * kH * 8 / 10);  // all but the corners without a source
    EXPECT_LT(std::abs(fit.offset_mm), 10);
    EXPECT_LT(fit.rms_mm, 10);
    EXPECT_LT(std::abs(fit.slope_x), 0.01);
    EXPECT_LT(std::abs(fit.slope_y), 0.01);
}

// The lens record's own intrinsics on the corrected image bend the wall.
TEST_F(UndistortedCloudTest, LensRecordIntrinsicsWouldBendTheWall) {
    const PlaneFit fit = wall_cloud(nx::kDefaultLensParam);
    std::printf("lens record intrinsics: %d points, offset %.2f mm, RMS %.2f mm\n", fit.points,
                fit.offset_mm, fit.rms_mm);
    EXPECT_GT(fit.rms_mm, 30);
}

}  // namespace
}  // namespace nxtest
