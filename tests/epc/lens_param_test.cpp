// The lens parameter file of the data folder, the lens record each EPC camera
// keeps, and the scaled intrinsics the exported call hands out.
#include <gtest/gtest.h>

#include <fstream>

#include "drivers/epc/epc_lens_file.h"
#include "epc_fixture.h"
#include "sensorlib/sensor_model.h"

namespace epctest {
namespace {

constexpr const char *kElevenLines =
    "160.5\n120.25 principal row\n200\n201\n-0.3\n0.1\n0.001\n0.002\n-0.01\n0x140\n0240\n";

class LensParam : public EpcTest {
  protected:
    void write_lens(const std::string &text) {
        std::ofstream(dir_.file("lens_param.txt"), std::ios::binary) << text;
    }
    bool read(epc_lens_param &lens) {
        return nx::epc::read_lens_file(dir_.file("lens_param.txt"), lens);
    }
};

TEST_F(LensParam, ElevenLinesSetEveryFieldIntegersInAnyBase) {
    write_lens(kElevenLines);
    epc_lens_param lens = nx::kDefaultLensParam;
    EXPECT_TRUE(read(lens));
    EXPECT_DOUBLE_EQ(lens.cx, 160.5);
    EXPECT_DOUBLE_EQ(lens.cy, 120.25);
    EXPECT_DOUBLE_EQ(lens.fx, 200);
    EXPECT_DOUBLE_EQ(lens.fy, 201);
    EXPECT_DOUBLE_EQ(lens.dcoeff[0], -0.3);
    EXPECT_DOUBLE_EQ(lens.dcoeff[4], -0.01);
    EXPECT_EQ(lens.img_w, 320);  // 0x140
    EXPECT_EQ(lens.img_h, 160);  // 0240, octal
    EXPECT_TRUE(logged("[DBG] [_nx_update_len_param] Cy:120.25000\n"));
    EXPECT_TRUE(logged("[DBG] [_nx_update_len_param] dcoeff[4]:-0.01000\n"));
    EXPECT_TRUE(logged("[DBG] [_nx_update_len_param] img_h = 160\n"));
    EXPECT_TRUE(logged("[DBG] [_nx_update_len_param] Reload lens param ok\n"));
}

TEST_F(LensParam, OtherLineCountsWarnAndKeepWhatWasRead) {
    write_lens(std::string(kElevenLines) + "999\n");
    epc_lens_param lens = nx::kDefaultLensParam;
    EXPECT_FALSE(read(lens));
    EXPECT_EQ(lens.img_h, 160);
    EXPECT_TRUE(logged("[WRN] [_nx_update_len_param] Param number maybe not right\n"));

    write_lens("100\n90\n");
    lens = nx::kDefaultLensParam;
    EXPECT_FALSE(read(lens));
    EXPECT_DOUBLE_EQ(lens.cy, 90);
    EXPECT_DOUBLE_EQ(lens.fx, nx::kDefaultLensParam.fx);
}

TEST_F(LensParam, MissingFileKeepsTheRecord) {
    epc_lens_param lens = nx::kDefaultLensParam;
    EXPECT_FALSE(read(lens));
    EXPECT_DOUBLE_EQ(lens.cx, nx::kDefaultLensParam.cx);
    EXPECT_TRUE(logged("lens_param.txt Open failed, use default param\n"));
}

// Lines without a usable value keep the field's previous value: no number,
// an empty line, a value that is not finite, a zero focal length, an image
// size beyond 1 .. 4096.
TEST_F(LensParam, UnusableLinesKeepThePreviousValue) {
    write_lens("abc\n\nnan\n0\n-0.3\ninf\n0.001\n0.002\n-0.01\n5000\n-3\n");
    epc_lens_param lens = nx::kDefaultLensParam;
    EXPECT_TRUE(read(lens));
    const epc_lens_param &d = nx::kDefaultLensParam;
    EXPECT_DOUBLE_EQ(lens.cx, d.cx);
    EXPECT_DOUBLE_EQ(lens.cy, d.cy);
    EXPECT_DOUBLE_EQ(lens.fx, d.fx);
    EXPECT_DOUBLE_EQ(lens.fy, d.fy);
    EXPECT_DOUBLE_EQ(lens.dcoeff[0], -0.3);
    EXPECT_DOUBLE_EQ(lens.dcoeff[1], d.dcoeff[1]);
    EXPECT_EQ(lens.img_w, 320);
    EXPECT_EQ(lens.img_h, 240);
    EXPECT_TRUE(logged("[WRN] [_nx_update_len_param] line 1 \"abc\": no usable value"));
    EXPECT_TRUE(logged("line 2 \"\": no usable value"));
    EXPECT_TRUE(logged("line 4 \"0\": no usable value"));
    EXPECT_TRUE(logged("line 11 \"-3\": no usable value"));
}

TEST_F(LensParam, ScaledIntrinsicsForDividingFrameSizes) {
    open_epc();
    epc_lens_param out{};
    ASSERT_TRUE(epc_lens_param_get(drv(), &out, 160, 120));
    EXPECT_NEAR(out.cx, 78.631, 1e-9);
    EXPECT_NEAR(out.fx, 105.3915, 1e-9);
    EXPECT_EQ(out.img_w, 160);
    EXPECT_DOUBLE_EQ(out.dcoeff[0], nx::kDefaultLensParam.dcoeff[0]);
    EXPECT_FALSE(epc_lens_param_get(drv(), &out, 300, 240));
    EXPECT_TRUE(logged(
        "[WRN] [epc_lens_param_get] lens param not match the frame size: lens: 320x240, frame: "
        "300x240\n"));
    EXPECT_FALSE(epc_lens_param_get(drv(), &out, 0, 240));
    EXPECT_FALSE(epc_lens_param_get(drv(), nullptr, 320, 240));
}

// Every camera reads the lens file of the data folder when it is opened and
// keeps its own record; the exported call without a camera's driver uses the
// camera opened last.
TEST_F(LensParam, EachCameraKeepsTheLensItOpenedWith) {
    add_epc_camera();
    add_epc_camera();
    nivex_device list[2];
    ASSERT_EQ(nivex_dev_list(list, 2), 2);
    write_lens("150\n110\n190\n191\n0\n0\n0\n0\n0\n320\n240\n");
    ASSERT_EQ(nivex_dev_open(&list[0]), &list[0]);
    write_lens(kElevenLines);
    ASSERT_EQ(nivex_dev_open(&list[1]), &list[1]);
    epc_lens_param a{}, b{}, last{};
    ASSERT_TRUE(epc_lens_param_get(nivex_dev_get_drv(&list[0]), &a, 320, 240));
    ASSERT_TRUE(epc_lens_param_get(nivex_dev_get_drv(&list[1]), &b, 320, 160));
    EXPECT_DOUBLE_EQ(a.fx, 190);
    EXPECT_DOUBLE_EQ(b.fx, 200);
    ASSERT_TRUE(epc_lens_param_get(nullptr, &last, 320, 160));
    EXPECT_DOUBLE_EQ(last.cx, 160.5);
    // A camera of another chip has no EPC lens.
    add_camera("NVX-T0-1.0");
    nivex_device ti[3];
    ASSERT_EQ(nivex_dev_list(ti, 3), 3);
    nivex_device *other = nullptr;
    for (nivex_device &d : ti)
        if (d.usb_port != list[0].usb_port && d.usb_port != list[1].usb_port) other = &d;
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(nivex_dev_open(other), other);
    EXPECT_FALSE(epc_lens_param_get(nivex_dev_get_drv(other), &last, 320, 240));
    nivex_dev_close(other);
    nivex_dev_close(&list[0]);
    nivex_dev_close(&list[1]);
}

// A lens file in the camera's archive lands in the data folder and is read
// from the next open on.
TEST_F(LensParam, LensFileFromTheCameraIsReadAtTheNextOpen) {
    nxsim::CameraConfig config = pattern_config();
    config.calib = nxsim::CalibArchive::Zip;
    config.lens_file = kElevenLines;
    cam_ = add_epc_camera(config);
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_TRUE(logged("Extracted: lens_param.txt (2 of 2)"));
    nivex_dev_close(&dev_);
    ASSERT_EQ(open_first(), &dev_);
    epc_lens_param out{};
    ASSERT_TRUE(epc_lens_param_get(drv(), &out, 320, 160));
    EXPECT_DOUBLE_EQ(out.cx, 160.5);
}

class ExtendedMode : public EpcTest,
                     public ::testing::WithParamInterface<std::pair<const char *, bool>> {};

TEST_P(ExtendedMode, FollowsTheProductVersion) {
    nxsim::CameraConfig config = pattern_config();
    config.product = GetParam().first;
    open_epc(config);
    EXPECT_EQ(state().sensor->ext_mode(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Products, ExtendedMode,
                         ::testing::Values(std::pair{"NVX-E2-2.0b", true},
                                           std::pair{"NVX-E2-2.1", false},
                                           std::pair{"NVX-E2-2", false}));

}  // namespace
}  // namespace epctest
