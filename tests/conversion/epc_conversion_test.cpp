// EPC CAMERAS: conversion tests that need the EPC driver (decode, lens
// undistortion, filter switches) and the simulated sensor's scenes.
//
// Until the EPC driver decodes and the simulator renders scenes, each of
// these tests reports itself SKIPPED with the reason; once both exist they
// must pass (a camera that then fails to open or to render fails the test).
#include <cmath>
#include <cstdio>

#include "conversion/conversion_fixture.h"
#include "imgproc/nx_calib_len.h"

namespace nxtest {
namespace {

constexpr int kW = 320, kH = 240;

class EpcConversionTest : public SimTest {
  protected:
    // Puts the camera described by the NIVEX_SIM text `sim` on the bus, its
    // factory calibration into the data folder, and opens it into dev_.
    // Skips while the build has no EPC decode or the simulator does not know
    // a key of `sim`.
    void open_epc(const std::string &sim) {
        if (g_nivex_driver_op_epc.frame_decode == nullptr)
            GTEST_SKIP() << "needs the EPC driver: this build has no EPC frame decode";
        const std::string error = nxsim::configure(sim);
        if (error.rfind("unknown key scene", 0) == 0)
            GTEST_SKIP() << "needs the simulator's sensor scenes: NIVEX_SIM says " << error;
        ASSERT_EQ(error, "");
        ASSERT_EQ(nxsim::cameras().size(), 1u);
        ASSERT_TRUE(nxsim::cameras()[0].write_factory_calibration(dir_.path().string() + "/"));
        ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    }

    bool set_undistortion(bool on) {
        return on ? nivex_filter_enable(&dev_, NIVEX_FILTER_LENS_UNDISTORT, nullptr, 0) == 1
                  : nivex_filter_disable(&dev_, NIVEX_FILTER_LENS_UNDISTORT) == 1;
    }

    std::vector<float> distance_frame() {
        std::vector<uint8_t> raw(2 * NIVEX_FRAME_SLOT_SIZE);
        nivex_frame_meta info{};
        EXPECT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 8 * NIVEX_FRAME_SLOT_SIZE));
        EXPECT_TRUE(
            nivex_cap_snapshot(&dev_, raw.data(), static_cast<uint32_t>(raw.size()), &info));
        EXPECT_EQ(info.width, static_cast<uint32_t>(kW));
        EXPECT_EQ(info.height, static_cast<uint32_t>(kH));
        std::vector<float> dist(kW * kH);
        EXPECT_EQ(nivex_frame_get_distance(&dev_, dist.data(), kW * kH, raw.data(),
                                           static_cast<int>(info.frame_size), &info),
                  kW * kH);
        return dist;
    }

    epc_lens_param driver_intrinsics(int w, int h) {
        chip_driver *drv = nivex_dev_get_drv(&dev_);
        epc_lens_param k{};
        EXPECT_NE(drv, nullptr);
        EXPECT_NE(drv->ops->lens_param_get, nullptr);
        EXPECT_TRUE(drv->ops->lens_param_get(drv, &k, w, h));
        return k;
    }
};

// A flat wall at 1.5 m, noise off, per-pixel calibration and undistortion
// on, no caller lens: the point cloud lies on the plane z = 1.5 m over the
// whole image.
TEST_F(EpcConversionTest, FlatWallPointCloudLiesOnItsPlane) {
    open_epc("product=NVX-E2-2.0b,scene=wall:1500,noise=0,drnu=0,drift=0");
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(set_undistortion(true));
    nivex_filter_args per_pixel{};
    per_pixel.calib_mode = 1;
    ASSERT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_PIXEL_CALIB, &per_pixel, sizeof per_pixel),
              1);
    const std::vector<float> dist = distance_frame();
    std::vector<float> cloud(3 * kW * kH);
    const int n = nivex_frame_get_pcl(&dev_, cloud.data(), 3 * kW * kH, dist.data(), kW * kH, kW,
                                      kH, nullptr);
    ASSERT_GT(n, kW * kH * 8 / 10) << "the wall must cover the image";
    const PlaneFit fit = fit_plane(cloud, n, 1.5);
    std::printf("wall at 1.5 m: %d points, plane offset %.2f mm, RMS %.2f mm, slopes %.5f %.5f\n",
                n, fit.offset_mm, fit.rms_mm, fit.slope_x, fit.slope_y);
    EXPECT_LT(std::abs(fit.offset_mm), 10);
    EXPECT_LT(fit.rms_mm, 10);
    EXPECT_LT(std::abs(fit.slope_x), 0.01);
    EXPECT_LT(std::abs(fit.slope_y), 0.01);
}

// The driver's intrinsics describe the image its decode delivers: the
// corrected camera's with undistortion on (320 x 240 images only), the lens
// record's scaled otherwise.
TEST_F(EpcConversionTest, IntrinsicsFollowTheUndistortionSwitch) {
    open_epc("product=NVX-E2-2.0b,scene=wall:1500");
    if (IsSkipped() || HasFatalFailure()) return;
    epc_lens_param corrected{};
    ASSERT_TRUE(nx::lens_undistorted_param(nx::kDefaultLensParam, corrected));

    ASSERT_TRUE(set_undistortion(false));
    EXPECT_NEAR(driver_intrinsics(kW, kH).fx, nx::kDefaultLensParam.fx, 1e-9);
    EXPECT_NEAR(driver_intrinsics(160, 120).cx, nx::kDefaultLensParam.cx / 2, 1e-9);

    ASSERT_TRUE(set_undistortion(true));
    const epc_lens_param k = driver_intrinsics(kW, kH);
    EXPECT_NEAR(k.fx, corrected.fx, 1e-9);
    EXPECT_NEAR(k.fy, corrected.fy, 1e-9);
    EXPECT_NEAR(k.cx, corrected.cx, 1e-9);
    EXPECT_NEAR(k.cy, corrected.cy, 1e-9);
    EXPECT_EQ(k.dcoeff[0], 0.0);
    // 160 x 120 images are not undistorted by the decode.
    EXPECT_NEAR(driver_intrinsics(160, 120).fx, nx::kDefaultLensParam.fx / 2, 1e-9);
}

TEST_F(EpcConversionTest, FilterSwitchesOfTheEpcDriver) {
    open_epc("product=NVX-E2-2.0b");
    if (IsSkipped() || HasFatalFailure()) return;
    nivex_filter_args arg{};
    arg.calib_mode = 7;
    nivex_filter_enable(&dev_, NIVEX_FILTER_PIXEL_CALIB, &arg, sizeof arg);
    EXPECT_EQ(arg.calib_mode, 1);
    EXPECT_EQ(nivex_filter_enable(&dev_, 3, nullptr, 0), 1);
    EXPECT_EQ(nivex_filter_enable(&dev_, 42, &arg, sizeof arg), 1);
    EXPECT_EQ(nivex_filter_disable(&dev_, 42), 1);
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_MIN_AMP, nullptr, 0), -1);
}

}  // namespace
}  // namespace nxtest
