// The NIVEX_SIM text that configures the simulator in preload mode.
#include <gtest/gtest.h>

#include <cstdio>

#include "usb_client.h"

namespace simtest {
namespace {

class SimConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { nxsim::reset(); }
    void TearDown() override { nxsim::reset(); }
};

TEST_F(SimConfigTest, CamerasWithCommonAndOwnSettings) {
    ASSERT_EQ(nxsim::configure(
                  "cameras=3,product=NVX-T0-1.0,fps=15,cam1.port=9,cam1.address=40,cam2.speed=2,"
                  "cam2.product=NVX-E1-2.0,mode=fast,foreign=0x046D:0xC52B"),
              "");
    auto cams = nxsim::cameras();
    ASSERT_EQ(cams.size(), 3u);
    EXPECT_EQ(cams[0].frame_rate(), 15u);
    EXPECT_EQ(cams[1].port(), 9);
    EXPECT_EQ(cams[1].address(), 40);
    EXPECT_EQ(cams[2].address(), 41);
    EXPECT_EQ(cams[2].speed(), 2);
    EXPECT_EQ(cams[2].port(), 10);
    auto product = cams[0].param(3);
    EXPECT_EQ(std::string(product.begin(), product.end()), "NVX-T0-1.0");
    product = cams[2].param(3);
    EXPECT_EQ(std::string(product.begin(), product.end()), "NVX-E1-2.0");

    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 4);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

TEST_F(SimConfigTest, FaultsTakeEffect) {
    ASSERT_EQ(nxsim::configure("busy=2,refuse_if=0,timeout=1:500,corrupt=0.001,seed=3"), "");
    nxsim::Camera cam = nxsim::cameras().at(0);
    Session s(cam);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(libusb_claim_interface(s.handle(), 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(status(s.handle())[0], 0xFE);
    EXPECT_EQ(status(s.handle())[0], 0xFE);
    EXPECT_EQ(status(s.handle())[0], 0x00);
    EXPECT_EQ(cam.faults().refused_claims, 1u);
}

TEST_F(SimConfigTest, EmptyTextMeansOneDefaultCamera) {
    ASSERT_EQ(nxsim::configure(""), "");
    ASSERT_EQ(nxsim::cameras().size(), 1u);
    EXPECT_EQ(nxsim::cameras()[0].frame_rate(), 30u);
}

TEST_F(SimConfigTest, MistakesAreNamedAndChangeNothing) {
    const std::pair<const char *, const char *> bad[] = {
        {"cameras=x", "cameras"},
        {"colour=red", "unknown key colour"},
        {"cameras=2,cam2.fps=5", "cam2: no such camera"},
        {"fps=0", "fps: bad value 0"},
        {"mode=slow", "mode"},
        {"corrupt=2", "corrupt"},
        {"timeout=1:x", "timeout"},
        {"foreign=12", "foreign"},
        {"cameras=2,cam1.busy=many", "busy: bad value many"},
        {"fps", "without '='"},
        {"dl_fail=chunk", "dl_fail"},
        {"dl_fail=melt:1", "dl_fail"},
        {"ul_size=big", "ul_size"},
        {"ul_fail=0", "ul_fail"},
        {"dl_version=70000", "dl_version"},
        {"calib=maybe", "calib: want zip, none, nozip, bad or evil"},
        {"lens=/nonexistent/lens_param.txt", "lens: cannot read"},
    };
    for (auto [text, expected] : bad) {
        std::string error = nxsim::configure(text);
        EXPECT_NE(error.find(expected), std::string::npos) << text << " -> " << error;
        EXPECT_TRUE(nxsim::cameras().empty()) << text;
    }
}

uint32_t le32_at(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The calibration an EPC camera reports in its data information (parameter
// 8): a valid block with an archive unless told otherwise; a TI camera has
// none.
TEST_F(SimConfigTest, EpcCamerasHoldTheirCalibrationBlock) {
    const std::string lens = ::testing::TempDir() + "sim_config_lens.txt";
    {
        std::FILE *f = std::fopen(lens.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("157\n122\n", f);
        std::fclose(f);
    }
    ASSERT_EQ(nxsim::configure("cameras=5,product=NVX-E2-2.0b,cam1.calib=none,cam2.calib=nozip,"
                               "cam3.product=NVX-T0-1.0,cam4.lens=" +
                               lens),
              "");
    auto cams = nxsim::cameras();
    const std::vector<uint8_t> zip = cams[0].param(8);
    ASSERT_EQ(zip.size(), 17u);
    EXPECT_EQ(zip[0], 1);
    EXPECT_EQ(zip[2], 1);
    EXPECT_EQ(le32_at(zip, 7), le32_at(zip, 11) + 17);
    EXPECT_GT(le32_at(zip, 11), 1000u);
    EXPECT_EQ(cams[1].param(8), std::vector<uint8_t>(17, 0));
    EXPECT_EQ(cams[2].param(8)[0], 1);
    EXPECT_EQ(cams[2].param(8)[2], 0);
    EXPECT_EQ(cams[3].param(8), std::vector<uint8_t>(17, 0));
    // The lens file travels in the archive too.
    EXPECT_GT(le32_at(cams[4].param(8), 11), le32_at(zip, 11));
    std::remove(lens.c_str());
}

}  // namespace
}  // namespace simtest
